// The yardstick for CPU per transaction: a libmodbus RTU client on a
// pseudo-terminal's slave and a libmodbus RTU server on its master, in a
// thread of its own, serving 16 holding registers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace bench {

class ModbusPair {
public:
    // nullptr on failure, with the reason in *error.
    static std::unique_ptr<ModbusPair> Start(std::string *error);
    ~ModbusPair();

    // One transaction on the calling thread: read holding registers 0 to 15
    // of unit 1 (an 8-byte request, a 37-byte reply). False on failure.
    bool ReadSixteen(uint16_t (&registers)[16]);

    ModbusPair(const ModbusPair &) = delete;
    ModbusPair &operator=(const ModbusPair &) = delete;

private:
    ModbusPair();
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace bench
