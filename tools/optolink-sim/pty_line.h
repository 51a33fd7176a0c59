// The simulator's side of a pseudo-terminal line, shared by its data line
// and its control line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>

namespace optolink_sim {

// Opens a pseudo-terminal pair and makes the slave raw (no echo, no
// line-end translation) before any client opens it. *master is the
// simulator's end, *hold a descriptor of the slave kept open so that the
// master never sees a hang-up between clients, *slavePath its name. On
// failure: false, with the call that failed in *failedCall (errno set);
// descriptors already opened are left in *master and *hold for the caller
// to close.
bool OpenRawPty(int *master, int *hold, std::string *slavePath, std::string *failedCall);

// Writes all of size characters to a non-blocking descriptor. False when
// the line failed, when stopping became true, or when nothing could be
// written for stuckLimit (nobody reads the other end).
bool WriteAllOrGiveUp(int fd, const char *text, size_t size, const std::atomic<bool> &stopping,
                      std::chrono::steady_clock::duration stuckLimit);

}  // namespace optolink_sim
