// A driver context started through QorMain on the line of an OPTOLINK
// station simulator, and gates parsed through QorMain, for the read and
// write transaction tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "entry/qor_interface.h"
#include "tests/support/log_capture.h"
#include "tools/optolink-sim/optolink_sim.h"

// What the tests put into value buffers: an element the driver must not
// write keeps it.
constexpr int16_t kUntouched = 0x7777;

// A gate as the host keeps it: its address text, the words its parser
// wrote, its element count and a value buffer of 18 elements.
struct TestGate {
    std::string text;
    uint32_t words[QOR_ADDRESS_WORDS] = {};
    int32_t elementCount = 1;
    std::vector<int16_t> values = std::vector<int16_t>(18, kUntouched);

    // The record for one request, pointing into this gate.
    GateRecord Record();
};

// Parses through QorMain (operation 3 with the data type the suffix asks
// for, or operation 4); a refusal fails the test.
TestGate Single(const std::string &text);
TestGate Block(const std::string &text, int32_t elementCount);

// ColdStart of context on the named port at 9600 baud, 8 data bits, no
// parity, one stop bit.
int32_t ColdStartOn(void *context, const std::string &portName, int32_t enabled, int32_t replyTimeout);

// The name the driver is given for the simulator's port: "pts/123" for
// "/dev/pts/123", which fits the 11 characters of a port name.
std::string DriverPortName(const optolink_sim::Simulator &sim);

// A station's response with one fault switch set.
optolink_sim::Response Silent();
optolink_sim::Response Raw(const std::string &text);
optolink_sim::Response JunkBefore(const std::string &junk);
optolink_sim::Response AnswerAs(int station);
optolink_sim::Response DropAck();
optolink_sim::Response CutAfter(int characters);
optolink_sim::Response NeverEnds();
optolink_sim::Response Delayed(int milliseconds);

class SimFixture : public testing::Test {
protected:
    // 100 ms per reply character: enough for an unpaced simulator on a
    // loaded machine, short enough for silent stations.
    static constexpr int32_t kReplyTimeout = 10;

    void SetUp() override;
    void TearDown() override;

    // ColdStart through QorMain; clears the log afterwards.
    int32_t Start(const std::string &portName, int32_t enabled, int32_t replyTimeout = kReplyTimeout);
    // ColdStart on the simulator's line.
    int32_t StartOnSimulator(int32_t replyTimeout = kReplyTimeout);

    // Operation 5, 6, 7 or 10 on the gate; its buffer keeps what the driver wrote.
    int32_t Run(uint32_t operation, TestGate &gate);

    DriverContext *context() { return reinterpret_cast<DriverContext *>(contextBlock_); }
    optolink_sim::Simulator &sim() { return *sim_; }
    std::vector<std::string> Received() const { return sim_->Received(); }

    LogCapture log_;

private:
    std::unique_ptr<optolink_sim::Simulator> sim_;
    alignas(8) unsigned char contextBlock_[QOR_CONTEXT_SIZE] = {};
};

// Log line helpers.
LogLine Diagnostic(const std::string &text);
LogLine Operator(const std::string &text);
// "DOVED: DoBlockRead() error reading reply, retry %d" for 4, 3, ... down to last.
std::vector<LogLine> RetryLines(int first, int last);
// Appends b to a.
std::vector<LogLine> operator+(std::vector<LogLine> a, const std::vector<LogLine> &b);
