#include "tests/support/log_capture.h"

#include <ostream>

#include "host/qorhost.h"

LogCapture::LogCapture() { qorhost_set_log_handler(&LogCapture::Receive, this); }

LogCapture::~LogCapture() { qorhost_set_log_handler(nullptr, nullptr); }

void LogCapture::Receive(int32_t level, const char *line, void *user) {
    auto *self = static_cast<LogCapture *>(user);
    std::lock_guard<std::mutex> guard(self->lock_);
    self->lines_.push_back(LogLine{level, line});
}

std::vector<LogLine> LogCapture::Lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

std::vector<std::string> LogCapture::Texts() const {
    std::vector<std::string> texts;
    for (const LogLine &line : Lines()) texts.push_back(line.text);
    return texts;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
}

void PrintTo(const LogLine &line, std::ostream *os) { *os << "{" << line.level << ", \"" << line.text << "\"}"; }
