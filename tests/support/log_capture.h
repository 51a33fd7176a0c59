// Captures the driver's log lines through the host runtime's handler.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct LogLine {
    int32_t level;
    std::string text;
    bool operator==(const LogLine &) const = default;
};

// Installs itself as the log handler for its lifetime.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<LogLine> Lines() const;
    std::vector<std::string> Texts() const;
    void Clear();

private:
    static void Receive(int32_t level, const char *line, void *user);
    mutable std::mutex lock_;
    std::vector<LogLine> lines_;
};

void PrintTo(const LogLine &line, std::ostream *os);
