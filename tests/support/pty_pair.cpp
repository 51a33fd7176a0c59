#include "tests/support/pty_pair.h"

#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair OpenPtyPair() {
    PtyPair pair;
    int master = -1;
    int slave = -1;
    char name[64] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return pair;
    // Raw on both sides so test bytes cross unchanged.
    termios settings{};
    if (tcgetattr(slave, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(slave, TCSANOW, &settings);
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    close(slave);
    pair.master = master;
    pair.slavePath = name;
    return pair;
}

void ClosePtyPair(PtyPair &pair) {
    if (pair.master >= 0) close(pair.master);
    pair.master = -1;
}

int OpenDescriptorCount() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count - 3;  // ".", ".." and the directory's own descriptor
}
