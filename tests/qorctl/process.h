// Real processes for the qorctl tests: run a program to its end with its
// output captured, or keep one running (the simulator) while a test talks
// to it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timedOut = false;
};

// Runs argv[0] with the arguments; extraEnv entries ("NAME=value") are
// added to the environment, unsetEnv names removed from it. A process that
// outlives the timeout is killed and reported as timed out.
// With stdoutTerminal its stdout is a pseudo-terminal (what it writes there
// arrives with the terminal's "\r\n" line ends).
ProcessResult RunProcess(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv = {},
                         const std::vector<std::string> &unsetEnv = {},
                         std::chrono::seconds timeout = std::chrono::seconds(120), bool stdoutTerminal = false);

std::vector<std::string> Lines(const std::string &text);

// A background process whose stdout is read line by line.
class BackgroundProcess {
public:
    BackgroundProcess() = default;
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess &) = delete;
    BackgroundProcess &operator=(const BackgroundProcess &) = delete;

    // Starts argv with its stderr appended to stderrPath; false when it
    // could not be started.
    bool Start(const std::vector<std::string> &argv, const std::string &stderrPath);
    // The next line of its stdout, waiting at most timeout; false at its
    // end or on time-out.
    bool ReadLine(std::string *line, std::chrono::milliseconds timeout);
    // Ends it with SIGTERM (SIGKILL if it does not go) and returns its
    // exit status.
    int Stop();
    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;
};
