// The serial port layer of the fuzz builds: the fuzzer's bytes are the
// station, the recorded writes are the wire.
#include "tests/fuzz/line_double.h"

#include <cstring>

namespace fuzz_line {

LineState &Line() {
    static LineState line;
    return line;
}

void Reset(const uint8_t *bytes, size_t size) {
    LineState &line = Line();
    line = LineState{};
    line.bytes = bytes;
    line.size = size;
}

}  // namespace fuzz_line

using fuzz_line::kLineHandle;
using fuzz_line::Line;

namespace {

bool OurHandle(PortHandle handle) {
    if (handle == kLineHandle) return true;
    Line().foreignHandle = true;
    return false;
}

}  // namespace

int32_t PortOpen(const char *name, const LineSettings *line, uint16_t controlFlags, PortHandle *handle) {
    (void)line;
    (void)controlFlags;
    *handle = 0;
    if (name == nullptr || name[0] == '\0') return kPortNotOpened;
    *handle = kLineHandle;
    ++Line().opens;
    return kPortDone;
}

PortHandle OpenFromSettings(const PortSettings *settings) {
    if (std::memchr(settings->name, '\0', sizeof settings->name) == nullptr) return 0;
    PortHandle handle = 0;
    if (PortOpen(settings->name, &settings->line, settings->controlFlags, &handle) != kPortDone) return 0;
    return handle;
}

int32_t PortClose(PortHandle handle) {
    if (!OurHandle(handle)) return kPortIoFailed;
    ++Line().closes;
    return kPortDone;
}

int32_t SetReadTimeout(PortHandle handle, int32_t units) {
    (void)units;
    return OurHandle(handle) ? 100 : 0;
}

// Nothing is waiting on this line when the driver drains: what the station
// sends later comes after the drain.
int32_t PurgeInput(PortHandle handle) { return OurHandle(handle) ? kPortDone : kPortDrainFailed; }

int32_t PortWrite(PortHandle handle, const char *chars, uint32_t count, uint32_t *written) {
    if (!OurHandle(handle)) return kPortIoFailed;
    fuzz_line::LineState &line = Line();
    line.writes.push_back(fuzz_line::Exchange{std::string(chars, count), line.next});
    if (written != nullptr) *written = count;
    return kPortDone;
}

int32_t PortRead(PortHandle handle, char *buffer, uint32_t count, uint32_t *received) {
    if (received != nullptr) *received = 0;
    if (!OurHandle(handle) || count == 0) return kPortIoFailed;
    fuzz_line::LineState &line = Line();
    uint32_t got = 0;
    while (got < count && line.next < line.size) buffer[got++] = static_cast<char>(line.bytes[line.next++]);
    if (received != nullptr) *received = got;
    // A silent line: the read time-out passes without a character.
    return got == count ? kPortDone : kPortIoFailed;
}

int32_t SendBreak(uint32_t milliseconds, PortHandle handle) {
    (void)milliseconds;
    (void)handle;
    return kPortDone;
}

// The pause after a failed exchange costs no time here.
int32_t PortDelay(uint32_t milliseconds) {
    (void)milliseconds;
    ++Line().delays;
    return kPortDone;
}
