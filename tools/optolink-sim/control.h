// The simulator's control line: a second pseudo-terminal on which a client
// that cannot use the library in its own process (a Windows test program
// under Wine, say) drives the Simulator with one command a line, each
// answered by exactly one reply line ("ok ..." or "error REASON").
// tools/optolink-sim/README.md describes the commands.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "tools/optolink-sim/optolink_sim.h"

namespace optolink_sim {

// Applies one command line (without its newline) to the simulator and
// answers the reply line (without its newline). Frame times are given in
// microseconds from *epoch, which "reset" moves to the moment of the reset.
std::string ExecuteControlCommand(Simulator &simulator, const std::string &line,
                                  std::chrono::steady_clock::time_point *epoch);

class ControlLine {
public:
    // Opens a pseudo-terminal pair (raw, so that commands and replies cross
    // unchanged) and serves commands on it from a thread of its own.
    // nullptr on failure, with the reason in *error when given.
    static std::unique_ptr<ControlLine> Open(Simulator &simulator, std::string *error = nullptr);
    ~ControlLine();  // stops the thread and closes the line

    // The slave's path, e.g. "/dev/pts/4".
    std::string Path() const;

private:
    ControlLine();
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace optolink_sim
