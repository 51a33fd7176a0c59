// Kept apart from everything that includes <termios.h>: <asm/termbits.h>
// defines the kernel's termios records under the same names. termios2
// carries the rate as a number, so rates without a B* constant read right.
#include "tools/optolink-sim/line_rate.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace optolink_sim {

uint32_t LineRate(int fd) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) return 0;
    return settings.c_ospeed;
}

}  // namespace optolink_sim
