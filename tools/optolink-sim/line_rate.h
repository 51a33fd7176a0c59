// The line's bit rate as the port's settings hold it.
#pragma once

#include <cstdint>

namespace optolink_sim {

// Output rate in bits per second of the terminal behind fd; on a
// pseudo-terminal's master that is the rate the slave was set to. 0 when it
// cannot be read.
uint32_t LineRate(int fd);

}  // namespace optolink_sim
