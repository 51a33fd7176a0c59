#include "tools/optolink-sim/pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace optolink_sim {

bool OpenRawPty(int *master, int *hold, std::string *slavePath, std::string *failedCall) {
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0) return *failedCall = "posix_openpt", false;
    char name[128] = {};
    if (grantpt(*master) != 0) return *failedCall = "grantpt", false;
    if (unlockpt(*master) != 0) return *failedCall = "unlockpt", false;
    if (ptsname_r(*master, name, sizeof name) != 0) return *failedCall = "ptsname_r", false;
    *slavePath = name;
    *hold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*hold < 0) return *failedCall = std::string("open ") + name, false;
    termios settings{};
    if (tcgetattr(*hold, &settings) != 0) return *failedCall = "tcgetattr", false;
    cfmakeraw(&settings);
    if (tcsetattr(*hold, TCSANOW, &settings) != 0) return *failedCall = "tcsetattr", false;
    return true;
}

bool WriteAllOrGiveUp(int fd, const char *text, size_t size, const std::atomic<bool> &stopping,
                      std::chrono::steady_clock::duration stuckLimit) {
    using Clock = std::chrono::steady_clock;
    Clock::time_point stuckSince = Clock::now();
    while (size > 0) {
        const ssize_t written = write(fd, text, size);
        if (written > 0) {
            text += written;
            size -= static_cast<size_t>(written);
            stuckSince = Clock::now();
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN) return false;
        if (stopping || Clock::now() - stuckSince > stuckLimit) return false;
        pollfd ready{fd, POLLOUT, 0};
        poll(&ready, 1, 20);
    }
    return true;
}

}  // namespace optolink_sim
