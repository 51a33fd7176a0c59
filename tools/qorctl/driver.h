// The driver as qorctl sees it: a shared library with one entry point,
// QorMain, loaded at run time like any host loads it, and the log lines it
// writes through the host runtime.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "entry/qor_interface.h"

namespace qorctl {

struct DriverLine {
    int32_t level;
    std::string text;
};

// Receives the driver's lines through qorhost_set_log_handler for its
// lifetime: level 32 always goes to stderr, level 8 only when verbose. The
// lines of the latest call are kept so that a refusal can be explained with
// the driver's own words.
class DriverLog {
public:
    explicit DriverLog(bool verbose);
    ~DriverLog();
    DriverLog(const DriverLog &) = delete;
    DriverLog &operator=(const DriverLog &) = delete;

    void ClearCaptured() { captured_.clear(); }
    const std::vector<DriverLine> &Captured() const { return captured_; }

    // A progress line that stays at the bottom of the terminal: a driver
    // line printed meanwhile goes above it. Empty text removes it.
    void SetProgress(const std::string &text);

    // Lines written to stderr so far (a redraw in place on the same
    // terminal has to go back over them too).
    long PrintedLines() const { return printed_; }

private:
    static void Receive(int32_t level, const char *line, void *user);
    void Print(int32_t level, const char *line);

    bool verbose_;
    std::vector<DriverLine> captured_;
    std::string progress_;
    long printed_ = 0;
};

class Driver {
public:
    // Loads the library at path; nullptr with the reason in *error.
    static std::unique_ptr<Driver> Load(const std::string &path, DriverLog &log, std::string *error);

    // One request through QorMain; the log lines it wrote are in
    // Log().Captured() afterwards.
    int32_t Call(uint32_t operation, void *context, void *data);

    QorInfo Info();
    DriverLog &Log() { return log_; }
    const std::string &Path() const { return path_; }

private:
    Driver(std::string path, QorMainFunction qorMain, DriverLog &log)
        : path_(std::move(path)), qorMain_(qorMain), log_(log) {}

    std::string path_;
    QorMainFunction qorMain_;
    DriverLog &log_;
};

// Where libdoved.so is looked for when --driver is not given: beside the
// program, then in the library folder of an installed tree.
std::vector<std::string> DriverCandidates();

// The driver's defaults (from GetQorInfo) overridden by the command line.
struct PortOptions {
    std::string name;
    LineSettings line{};
    int32_t replyTimeoutUnits = 0;  // 10 ms units
};

// One port, from ColdStart to EndQor. The context is allocated with the
// size the driver reported.
class PortSession {
public:
    PortSession(Driver &driver, int32_t contextSize);
    ~PortSession();  // EndQor if the session was started
    PortSession(const PortSession &) = delete;
    PortSession &operator=(const PortSession &) = delete;

    int32_t Start(const PortOptions &options);
    int32_t End();
    void *Context() { return context_.data(); }

private:
    Driver &driver_;
    std::vector<uint64_t> context_;  // 8-byte aligned block
    bool started_ = false;
};

}  // namespace qorctl
