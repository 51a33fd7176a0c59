// termios2 access for rates that have no termios speed constant. This file
// must not include <termios.h>: <asm/termbits.h> defines the kernel's own
// termios records and flags under the same names.
#include "serial/termios2_linux.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

int SetExactBaudRate(int fd, uint32_t baud) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return -1;
    // BOTHER in both the output (CBAUD) and the input (CIBAUD) field: the
    // rates are then taken from c_ospeed and c_ispeed as they stand.
    settings.c_cflag &= ~(tcflag_t)(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ospeed = baud;
    settings.c_ispeed = baud;
    if (ioctl(fd, TCSETS2, &settings) != 0) return -1;
    // A driver that cannot reach the rate falls back to another one and
    // writes it back into the settings; the ioctl still succeeds.
    struct termios2 applied {};
    if (ioctl(fd, TCGETS2, &applied) != 0) return -1;
    return applied.c_ospeed == baud && applied.c_ispeed == baud ? 0 : 1;
}

int ReadBaudRates(int fd, uint32_t *output, uint32_t *input) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return -1;
    if (output != nullptr) *output = settings.c_ospeed;
    if (input != nullptr) *input = settings.c_ispeed;
    return 0;
}
