// What the benchmark sections share: statistics, CPU and machine-load
// readings, a host's side of QorMain, and a raw line client that speaks to
// the simulator without the driver.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "entry/qor_interface.h"

namespace bench {

using Clock = std::chrono::steady_clock;

double MillisecondsBetween(Clock::time_point from, Clock::time_point to);

// Median and spread of a sample (nearest-rank percentiles).
struct Summary {
    size_t count = 0;
    double median = 0;
    double p99 = 0;
    double min = 0;
    double max = 0;
};
Summary Summarize(std::vector<double> values);

// User + system CPU time of the calling thread, in seconds.
double ThreadCpuSeconds();
// User + system CPU time of the whole process, in seconds.
double ProcessCpuSeconds();

// How busy the machine was over an interval, apart from this process:
// /proc/stat's busy time of all CPUs less this process's own CPU time.
struct LoadMark {
    Clock::time_point at;
    double machineBusySeconds = 0;  // all CPUs, all processes
    double ownCpuSeconds = 0;
    double loadAverage1 = 0;        // the 1-minute load average at the mark
};
LoadMark MarkLoad();
// CPUs' worth of work done by other processes between the marks.
double OtherLoadBetween(const LoadMark &from, const LoadMark &to);

// The machine in one line: kernel, CPU model, CPUs online.
std::string MachineDescription();
std::string UtcNow();

// ---- A host's side of QorMain ------------------------------------------

// One port's context block, as the host allocates it.
struct Port {
    alignas(8) unsigned char block[QOR_CONTEXT_SIZE] = {};
    void *context() { return block; }
};

// ColdStart on a device path ("/dev/pts/3" goes as "pts/3", which fits the
// 11 characters of a port name). The driver's result.
int32_t StartPort(Port &port, const std::string &path, uint16_t baud, int32_t replyTimeoutUnits);
void ClosePort(Port &port);

// A gate as the host keeps it: text, address words, element count, buffer.
struct Gate {
    std::string text;
    uint32_t words[QOR_ADDRESS_WORDS] = {};
    int32_t elementCount = 1;
    int16_t values[18] = {};

    GateRecord Record();
};
// Parses through QorMain: a single gate with the data type its suffix asks
// for, or a block of count groups. False when the parser refused.
bool ParseSingle(Gate &gate, const std::string &text);
bool ParseBlock(Gate &gate, const std::string &text, int32_t count);
// Operation 5, 6, 7 or 10 on the gate.
int32_t Run(Port &port, uint32_t operation, Gate &gate);

// Counts the driver's log lines instead of printing them (failure paths log
// on every attempt).
void SilenceDriverLog();
uint64_t DriverLogLines();

// ---- A raw line client -------------------------------------------------

// Opens a pseudo-terminal slave raw at the given rate (so that a pacing
// simulator paces at it); -1 on failure.
int OpenRawLine(const std::string &path, uint32_t baud);
// Writes the frame and reads until the reply's "e"; the time from the
// start of the write to the "e", in ms, or -1 when no whole reply came
// within two seconds.
double RawExchange(int fd, const std::string &frame);

}  // namespace bench
