// The host runtime: formats the driver's log lines and hands them to the
// host application's handler.
#include "host/qorhost.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace {

// Handler and its user pointer travel together, so a line never reaches a
// handler with another handler's user pointer.
struct LogSink {
    QorLogHandler handler;
    void *user;
};

std::mutex sinkLock;
LogSink sink{nullptr, nullptr};

LogSink CurrentSink() {
    std::lock_guard<std::mutex> guard(sinkLock);
    return sink;
}

}  // namespace

extern "C" QORHOST_API void QORHOST_CALL qorhost_set_log_handler(QorLogHandler handler, void *user) {
    std::lock_guard<std::mutex> guard(sinkLock);
    sink = LogSink{handler, handler != nullptr ? user : nullptr};
}

extern "C" QORHOST_API void QORHOST_CALL err(int32_t level, const char *format, ...) {
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);

    // The handler runs outside the lock: it may set another handler.
    LogSink current = CurrentSink();
    if (current.handler == nullptr) {
        std::fprintf(stderr, "[%d] %s\n", static_cast<int>(level), line);
        return;
    }
    current.handler(level, line, current.user);
}
