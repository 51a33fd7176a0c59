// The serial port layer on Linux: POSIX termios and the tty ioctls.
//
// The layer holds nothing of its own. A handle is the port's file
// descriptor plus one (descriptor 0 is a valid descriptor, handle 0 means
// no port); the line settings, the modem lines and the read time-out all
// live in the kernel's port object behind that descriptor (the time-out in
// unused termios control characters, see line_config.h), so different
// threads may work on different ports at once.
//
// Input and output queues: Linux has no way to size them from user space.
// The tty layer buffers with fixed sizes of its own (the line discipline's
// 4 KiB read buffer, the flip buffers between driver and line discipline,
// the driver's transmit ring, a page for a UART), which is ample for the
// OPTOLINK frames of at most 100 characters, so nothing is asked for.
#include "serial/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "serial/line_config.h"
#include "serial/termios2_linux.h"

namespace {

// The kernel's "ioctl not handled here", which some drivers let through.
constexpr int kNoIoctlCommand = 515;  // ENOIOCTLCMD

constexpr char kNullDeviceName[] = "NUL";
constexpr char kNullDevicePath[] = "/dev/null";
constexpr char kDeviceDirectory[] = "/dev/";

// Characters a drain read asks for at a time.
constexpr uint32_t kDrainChunk = 512;
// Read time-out while draining, in 10 ms units.
constexpr int32_t kDrainTimeoutUnits = 5;
// The most characters one platform read takes.
constexpr uint32_t kMaxReadRequest = 65535;

int DescriptorOf(PortHandle handle) {
    if (handle == 0 || handle - 1 > (PortHandle)INT_MAX) return -1;
    return (int)(handle - 1);
}

PortHandle HandleOf(int fd) { return (PortHandle)fd + 1; }

// A modem-line or RS-485 ioctl the device does not have: a pseudo-terminal
// has neither, and that is no failure of the configuration.
bool NotSupported(int error) {
    return error == ENOTTY || error == EINVAL || error == kNoIoctlCommand;
}

int64_t MonotonicNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

void SleepMilliseconds(uint32_t milliseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const int64_t nanoseconds = (int64_t)until.tv_nsec + (int64_t)(milliseconds % 1000) * 1000000;
    until.tv_sec += (time_t)(milliseconds / 1000) + (time_t)(nanoseconds / 1000000000);
    until.tv_nsec = (long)(nanoseconds % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// Port names: "NUL" exactly (letter case counting) is the null device; a
// name beginning with "/" is a device path as it stands; any other name is
// a device under /dev/ ("ttyUSB0" is /dev/ttyUSB0). Answers false when the
// path does not fit.
bool DevicePath(const char *name, char *path, size_t size) {
    int length = 0;
    if (std::strcmp(name, kNullDeviceName) == 0) {
        length = std::snprintf(path, size, "%s", kNullDevicePath);
    } else if (name[0] == '/') {
        length = std::snprintf(path, size, "%s", name);
    } else {
        length = std::snprintf(path, size, "%s%s", kDeviceDirectory, name);
    }
    return length >= 0 && (size_t)length < size;
}

// One modem-line change; a device without modem lines is no failure.
bool SetModemLine(int fd, int line, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return NotSupported(errno);
}

// RS-485 mode on or off. Answers 1 when the mode is as asked, 0 when the
// device has no RS-485 mode, -1 when the device refused.
int SetRs485(int fd, bool on) {
    serial_rs485 rs485{};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0) return NotSupported(errno) ? 0 : -1;
    const bool enabled = (rs485.flags & SER_RS485_ENABLED) != 0;
    if (enabled == on && (!on || (rs485.flags & SER_RS485_RTS_ON_SEND) != 0)) return 1;
    if (on) {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~(uint32_t)SER_RS485_RTS_AFTER_SEND;
    } else {
        rs485.flags &= ~(uint32_t)SER_RS485_ENABLED;
    }
    if (ioctl(fd, TIOCSRS485, &rs485) == 0) return 1;
    return NotSupported(errno) ? 0 : -1;
}

// DTR and RTS as the control flags ask. RTS handshake is CRTSCTS, already in
// the termios; the driver then drives RTS itself.
bool ApplyModemLines(int fd, uint16_t controlFlags) {
    // Linux has no DTR/DSR flow control: a DTR handshake raises DTR and
    // leaves it up, as the station sees a ready host either way.
    const bool dtrOn = DtrModeFor(controlFlags) != kDtrOff;
    if (!SetModemLine(fd, TIOCM_DTR, dtrOn)) return false;

    const RtsMode rts = RtsModeFor(controlFlags);
    if (rts == kRtsToggle) {
        // RTS up only while sending: the driver's RS-485 mode. Without one,
        // RTS stays off.
        const int rs485 = SetRs485(fd, true);
        if (rs485 < 0) return false;
        return rs485 == 1 || SetModemLine(fd, TIOCM_RTS, false);
    }
    // RS-485 mode left on by an earlier user would drive RTS behind our back.
    if (SetRs485(fd, false) < 0) return false;
    if (rts == kRtsHandshake) return true;
    return SetModemLine(fd, TIOCM_RTS, rts == kRtsOn);
}

// Closes a descriptor whose open has failed; answers the status to return.
int32_t FailOpen(int fd, PortHandle *handle, int32_t status) {
    close(fd);
    // The descriptor number is free again and may be reused at once.
    *handle = 0;
    return status;
}

// One platform read: gathers up to want characters into buffer until want
// have arrived or the port's read time-out has passed since it began (no
// limit when the time-out is 0). Answers the count gathered, possibly 0, or
// -1 when the port failed before delivering anything. A descriptor without
// terminal settings (the null device) gives what is there without waiting.
// A device that has gone (hang-up, I/O error) ends the read at once.
int64_t PlatformRead(int fd, char *buffer, uint32_t want) {
    if (fd < 0) return -1;
    if (want == 0) return 0;
    const int64_t began = MonotonicNanoseconds();

    // What the kernel already holds is taken at once, with one system call:
    // the port reads with VMIN 0 and VTIME 0 (set by PortOpen), so this read
    // never waits. Replies are read one character at a time, and their
    // characters are often waiting already (a UART's FIFO or a USB adapter
    // hands them over in bursts; a busy host falls behind a fast line). Only
    // a read that has to wait needs the time-out and the poll below, and
    // pays for this empty read.
    uint32_t got = 0;
    const ssize_t waiting = read(fd, buffer, want);
    if (waiting > 0) {
        got = (uint32_t)waiting;
        if (got == want) return got;
    } else if (waiting < 0 && errno != EINTR && errno != EAGAIN) {
        return -1;
    }

    bool limited = true;
    uint32_t timeoutMs = 0;
    termios settings{};
    if (tcgetattr(fd, &settings) == 0) {
        timeoutMs = ReadTimeoutOf(settings);
        limited = timeoutMs != 0;
    } else if (errno != ENOTTY) {
        return got > 0 ? (int64_t)got : -1;
    }

    const int64_t deadline = began + (int64_t)timeoutMs * 1000000;
    for (;;) {
        int waitMs = -1;
        if (limited) {
            const int64_t remaining = deadline - MonotonicNanoseconds();
            if (remaining <= 0) {
                waitMs = 0;
            } else {
                const int64_t ms = (remaining + 999999) / 1000000;
                waitMs = ms > INT_MAX ? INT_MAX : (int)ms;
            }
        }
        pollfd request{fd, POLLIN, 0};
        const int ready = poll(&request, 1, waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return got > 0 ? (int64_t)got : -1;
        }
        if (ready == 0) {
            // poll may return a little early for a wait clipped to INT_MAX.
            if (limited && deadline - MonotonicNanoseconds() > 0 && waitMs == INT_MAX) continue;
            return got;
        }
        if (request.revents & POLLNVAL) return got > 0 ? (int64_t)got : -1;

        const ssize_t n = read(fd, buffer + got, want - got);
        if (n > 0) {
            got += (uint32_t)n;
            if (got == want) return got;
            continue;
        }
        // End of file: a hung-up terminal, or a device that has no input.
        if (n == 0) return got;
        if ((errno == EINTR || errno == EAGAIN) && !(request.revents & (POLLHUP | POLLERR))) {
            continue;
        }
        return got > 0 ? (int64_t)got : -1;
    }
}

}  // namespace

int32_t PortOpen(const char *name, const LineSettings *line, uint16_t controlFlags,
                 PortHandle *handle) {
    if (handle == nullptr) return kPortNotOpened;
    *handle = 0;
    if (name == nullptr || line == nullptr) return kPortNotOpened;
    char path[PATH_MAX];
    if (!DevicePath(name, path, sizeof path)) return kPortNotOpened;

    // The null device is used unconfigured: no lock, no termios.
    if (std::strcmp(name, kNullDeviceName) == 0) {
        const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) return kPortNotOpened;
        *handle = HandleOf(fd);
        return kPortDone;
    }

    // Non-blocking so that the open does not wait for carrier; blocking
    // mode comes back once CLOCAL is set.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kPortNotOpened;
    *handle = HandleOf(fd);

    // Exclusive use. TIOCEXCL keeps other opens out but not root's, so an
    // advisory lock on the device as well: every user of this layer takes
    // it, in this process or another, whatever name leads to the device.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return FailOpen(fd, handle, kPortNotOpened);

    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return FailOpen(fd, handle, kPortNotSerial);
    if (ioctl(fd, TIOCEXCL) != 0) return FailOpen(fd, handle, kPortNotOpened);

    // The initial read time-out. Canonical input goes off with it: the
    // time-out's control characters must never act as line-editing ones.
    StoreReadTimeout(&settings, (uint32_t)kOpenReadTimeoutMs);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    settings.c_lflag &= ~(tcflag_t)ICANON;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return FailOpen(fd, handle, kPortNotOpened);

    if (ConfigureTermios(&settings, line, controlFlags) != kPortDone) {
        return FailOpen(fd, handle, kPortBadSettings);
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return FailOpen(fd, handle, kPortBadSettings);

    // tcsetattr succeeds when any part was taken; a rate the driver cannot
    // reach comes back as another one.
    const uint32_t baud = line->baud;
    const speed_t speed = StandardSpeed(baud);
    if (speed != B0) {
        termios applied{};
        if (tcgetattr(fd, &applied) != 0 || cfgetospeed(&applied) != speed) {
            return FailOpen(fd, handle, kPortBadSettings);
        }
    } else if (SetExactBaudRate(fd, baud) != 0) {
        return FailOpen(fd, handle, kPortBadSettings);
    }

    if (!ApplyModemLines(fd, controlFlags)) return FailOpen(fd, handle, kPortBadSettings);

    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return FailOpen(fd, handle, kPortBadSettings);
    }
    return kPortDone;
}

PortHandle OpenFromSettings(const PortSettings *settings) {
    if (settings == nullptr) return 0;
    if (std::memchr(settings->name, '\0', sizeof settings->name) == nullptr) return 0;
    PortHandle handle = 0;
    const LineSettings line = settings->line;
    if (PortOpen(settings->name, &line, settings->controlFlags, &handle) != kPortDone) return 0;
    return handle;
}

int32_t PortClose(PortHandle handle) {
    const int fd = DescriptorOf(handle);
    if (fd < 0) return kPortIoFailed;
    // A pseudo-terminal keeps the exclusive flag after its last close while
    // its master stays open; clear it so that the port can be opened again.
    // The advisory lock goes with the descriptor.
    ioctl(fd, TIOCNXCL);
    // Linux releases the descriptor even when close reports EINTR.
    if (close(fd) != 0 && errno != EINTR) return kPortIoFailed;
    return kPortDone;
}

int32_t SetReadTimeout(PortHandle handle, int32_t units) {
    const int fd = DescriptorOf(handle);
    if (fd < 0) return 0;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) return 0;
    const uint32_t old = ReadTimeoutOf(settings);
    const uint32_t wanted = (uint32_t)units * 10u;
    if (old != wanted) {
        StoreReadTimeout(&settings, wanted);
        if (tcsetattr(fd, TCSANOW, &settings) != 0) return 0;
    }
    // The time-out is the 32-bit value the units were multiplied into, so a
    // negative one comes back as it went in.
    return (int32_t)old / 10;
}

int32_t PurgeInput(PortHandle handle) {
    const int fd = DescriptorOf(handle);
    int waiting = 0;
    if (fd >= 0 && ioctl(fd, FIONREAD, &waiting) == 0 && waiting == 0) return kPortDone;

    // Characters are waiting, or the count could not be had: drain.
    const int32_t old = SetReadTimeout(handle, kDrainTimeoutUnits);
    char scratch[kDrainChunk];
    bool failed = false;
    for (;;) {
        const int64_t got = PlatformRead(fd, scratch, kDrainChunk);
        if (got < 0) {
            failed = true;
            break;
        }
        if ((uint32_t)got < kDrainChunk) break;
    }
    if (old != 0) SetReadTimeout(handle, old);
    return failed ? kPortDrainFailed : kPortDone;
}

int32_t PortWrite(PortHandle handle, const char *chars, uint32_t count, uint32_t *written) {
    const int fd = DescriptorOf(handle);
    if (fd < 0 || (chars == nullptr && count != 0)) return kPortIoFailed;
    uint32_t taken = 0;
    bool failed = false;
    do {
        const ssize_t n = write(fd, chars + taken, count - taken);
        if (n > 0) {
            taken += (uint32_t)n;
            continue;
        }
        if (n == 0) break;  // nothing asked, or the device takes no more
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            pollfd request{fd, POLLOUT, 0};
            const int ready = poll(&request, 1, -1);
            if (ready < 0 && errno != EINTR) {
                failed = true;
                break;
            }
            if (ready > 0 && (request.revents & (POLLERR | POLLHUP | POLLNVAL)) &&
                !(request.revents & POLLOUT)) {
                failed = true;
                break;
            }
            continue;
        }
        failed = true;
        break;
    } while (taken < count);

    // A failure before anything was taken is a failed write; after some was
    // taken, the platform took fewer characters than were given.
    if (failed && taken == 0) return kPortIoFailed;
    if (written != nullptr) *written = taken;
    return taken == count ? kPortDone : kPortShortWrite;
}

int32_t PortRead(PortHandle handle, char *buffer, uint32_t count, uint32_t *received) {
    const int fd = DescriptorOf(handle);
    if (received != nullptr) *received = 0;
    if (fd < 0 || (buffer == nullptr && count != 0)) return kPortIoFailed;
    uint32_t total = 0;
    // The first platform read is always made: a request for 0 answers 7.
    do {
        const uint32_t want = count - total < kMaxReadRequest ? count - total : kMaxReadRequest;
        const int64_t got = PlatformRead(fd, buffer + total, want);
        if (got <= 0) return kPortIoFailed;  // failed, or nothing within the time-out
        total += (uint32_t)got;
        if (received != nullptr) *received = total;
    } while (total < count);
    return kPortDone;
}

int32_t SendBreak(uint32_t milliseconds, PortHandle handle) {
    const int fd = DescriptorOf(handle);
    ioctl(fd, TIOCSBRK);
    SleepMilliseconds(milliseconds);
    ioctl(fd, TIOCCBRK);
    return kPortDone;
}

int32_t PortDelay(uint32_t milliseconds) {
    SleepMilliseconds(milliseconds);
    return kPortDone;
}
