// The line as the fuzz targets see it: an implementation of the serial port
// layer (serial/serial_port.h) linked instead of the platform's. It stands
// for the wire and the station, not for the driver: reads hand out the
// fuzzer's bytes one at a time and then answer like a silent line, writes
// are recorded, and nothing sleeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/serial_port.h"

namespace fuzz_line {

// The handle every open hands out.
constexpr PortHandle kLineHandle = 0x4C;

struct Exchange {
    std::string frame;      // what one PortWrite carried
    size_t deliveredBefore; // bytes handed out before it was written
};

struct LineState {
    const uint8_t *bytes = nullptr;  // what the station sends, in order
    size_t size = 0;
    size_t next = 0;                 // the next byte to hand out
    std::vector<Exchange> writes;
    int opens = 0;
    int closes = 0;
    int delays = 0;
    // Set when the driver used a handle the line never handed out.
    bool foreignHandle = false;
};

// The line of the current input; Reset starts a new one.
LineState &Line();
void Reset(const uint8_t *bytes, size_t size);

}  // namespace fuzz_line
