// Faults on the line, through the station simulator on a pseudo-terminal:
// a station that falls silent in the middle of a reply, noise before a
// reply, a reply that never ends, replies from another station, slow
// stations, and a device that is pulled while the driver uses it.
//
// For each: the result, the log lines, the time taken against the bound of
// the attempts (each at most one reply time-out plus the 100 ms pause, with
// a second of slack for a loaded machine; the times are printed), and no
// descriptor left open.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "entry/qor_interface.h"
#include "host/qorhost.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty_pair.h"
#include "tests/support/sim_fixture.h"
#include "tools/optolink-sim/optolink_sim.h"
#include "tests/support/qor_call.h"

namespace {

using Clock = std::chrono::steady_clock;
using optolink_sim::Response;
using optolink_sim::Simulator;
using optolink_sim::StationImage;

constexpr int kStation = 5;
constexpr auto kSlack = std::chrono::seconds(1);
constexpr auto kPause = std::chrono::milliseconds(100);

// Groups A 0x12, B 0x34, C 0x5A, D 0x0F, E 0xF2 and F 0x37 (compound -1237).
StationImage Image(uint8_t groupC = 0x5A) {
    StationImage image;
    image.groups[0] = 0x12;
    image.groups[1] = 0x34;
    image.groups[2] = groupC;
    image.groups[3] = 0x0F;
    image.groups[4] = 0xF2;
    image.groups[5] = 0x37;
    return image;
}

Response Normal() { return Response{}; }

LogLine Retry(int left) { return RetryLines(left, left).front(); }
const LogLine kSendFailed = Diagnostic("DOVED:SEND(). Unable to send message.");
const LogLine kBadStation = Diagnostic("DOVED: Bad Plc Address in Reply");

std::vector<LogLine> Retries(const std::string &failure) {
    return RetryLines(4, 1) + std::vector<LogLine>{Operator("DOVED: Single Read Failed. Gate = " + failure)};
}

std::vector<LogLine> Times(int count, const LogLine &line) { return std::vector<LogLine>(static_cast<size_t>(count), line); }

// The gate an operation takes, parsed by the parser that operation needs.
TestGate Parse(uint32_t operation, const std::string &text, int32_t count) {
    const bool block = operation == QOR_OP_BLOCK_READ || operation == QOR_OP_BLOCK_WRITE;
    if (block) return Block(text, count);
    TestGate gate = Single(text);
    gate.elementCount = count;
    return gate;
}

struct Timed {
    int32_t result;
    Clock::duration took;
};

Timed Request(void *context, uint32_t operation, TestGate &gate) {
    GateRecord record = gate.Record();
    const Clock::time_point start = Clock::now();
    const int32_t result = QorCall(context, operation, &record);
    return Timed{result, Clock::now() - start};
}

double Milliseconds(Clock::duration duration) { return std::chrono::duration<double, std::milli>(duration).count(); }

// Each attempt waits at most one reply time-out for a missing character and
// pauses 100 ms after it.
Clock::duration Bound(int attempts, int32_t replyTimeout) {
    return attempts * (std::chrono::milliseconds(10 * replyTimeout) + kPause);
}

struct FaultCase {
    const char *name;
    uint32_t operation;
    const char *gate;
    int32_t count;
    int32_t replyTimeout;          // 10 ms units
    std::vector<Response> queued;  // the station's next answers, in order
    std::optional<Response> fallback;
    int32_t result;
    std::vector<LogLine> lines;
    std::vector<int16_t> values;  // elements 0 to 4 afterwards
    int attempts;                 // attempts the time bound allows for
};

// Cases print by their names (printing the record's bytes would read its padding).
void PrintTo(const FaultCase &fault, std::ostream *os) { *os << fault.name; }

const std::vector<int16_t> kNoValue{kUntouched, kUntouched, kUntouched, kUntouched, kUntouched};
const std::vector<int16_t> kByteC{kUntouched, 90, kUntouched, kUntouched, kUntouched};
const std::vector<int16_t> kWritten{kUntouched, 9, kUntouched, kUntouched, kUntouched};
const std::vector<int16_t> kBlockWritten{1, 2, 3, kUntouched, kUntouched};

const FaultCase kFaults[] = {
    {"SilentInTheMiddleOfEveryReply", QOR_OP_SINGLE_READ, "05CA", 1, 10, {}, CutAfter(20), QOR_FAILED,
     Retries("05CA"), kNoValue, 4},
    {"SilentInTheMiddleOfOneReply", QOR_OP_SINGLE_READ, "05CA", 1, 10, {CutAfter(20)}, std::nullopt, QOR_DONE,
     {Retry(4)}, kByteC, 2},
    {"SingleWriteDataReplyCutShort", QOR_OP_SINGLE_WRITE, "05CA", 1, 10, {Normal(), CutAfter(20)}, std::nullopt,
     QOR_DONE, {}, kWritten, 2},
    {"BlockWriteAnswerCutShort", QOR_OP_BLOCK_WRITE, "05AA", 3, 10, {CutAfter(5)}, std::nullopt, QOR_DONE, {},
     kBlockWritten, 2},
    {"NoiseBeforeTheReply", QOR_OP_BLOCK_READ, "05AA", 4, 10, {JunkBefore(std::string("\0\xff\r\n#~@@e\x13", 10))},
     std::nullopt, QOR_DONE, {}, {0x12, 0x34, 0x5A, 0x0F, kUntouched}, 1},
    // The noise ends in "s@": the reply's own "s" is taken as the "@" the
    // hunt waited for, so the reply is missed and the next attempt reads.
    {"NoiseThatSwallowsTheStart", QOR_OP_SINGLE_READ, "05CA", 1, 10, {JunkBefore("xs@")}, std::nullopt, QOR_DONE,
     {Retry(4)}, kByteC, 2},
    {"NoiseLongerThanTheHunt", QOR_OP_SINGLE_READ, "05CA", 1, 10, {}, JunkBefore(std::string(320, '~')), QOR_FAILED,
     Retries("05CA"), kNoValue, 4},
    {"ReplyThatNeverEnds", QOR_OP_SINGLE_READ, "05EC", 1, 10, {}, NeverEnds(), QOR_FAILED, Retries("05EC"), kNoValue,
     4},
    {"ReadAnsweredByAnotherStation", QOR_OP_SINGLE_READ, "05C3", 1, 10, {}, AnswerAs(7), QOR_REFUSED,
     Times(4, Diagnostic("DOVED: DoBlockRead() wrong plcaddr (7) in received msg!")) +
         std::vector<LogLine>{Operator("DOVED: Single Read Failed. Gate = 05C3")},
     kNoValue, 4},
    {"WriteAnsweredByAnotherStation", QOR_OP_SINGLE_WRITE, "05CA", 1, 10, {}, AnswerAs(7), QOR_REFUSED,
     Times(4, kBadStation), kWritten, 4},
    {"DataReplyFromAnotherStationOnce", QOR_OP_SINGLE_WRITE, "05CA", 1, 10, {Normal(), AnswerAs(7)},
     std::nullopt, QOR_DONE, {kBadStation}, kWritten, 2},
    {"SlowStationJustInsideTheTimeout", QOR_OP_SINGLE_READ, "05CA", 1, 60, {}, Delayed(250), QOR_DONE, {}, kByteC,
     1},
    // Late by less than an attempt: the next attempt takes the late reply.
    {"SlowStationJustOutsideTheTimeout", QOR_OP_SINGLE_READ, "05CA", 1, 60, {}, Delayed(1000), QOR_DONE, {Retry(4)},
     kByteC, 2},
    {"StationLaterThanEveryAttempt", QOR_OP_SINGLE_READ, "05CA", 1, 10, {Delayed(1500)}, std::nullopt, QOR_FAILED,
     Retries("05CA"), kNoValue, 4},
};

class LineFaults : public testing::TestWithParam<FaultCase> {};

TEST_P(LineFaults, ResultLinesAndTime) {
    const FaultCase &fault = GetParam();
    const int descriptors = OpenDescriptorCount();
    {
        std::string error;
        std::unique_ptr<Simulator> sim = Simulator::Start(optolink_sim::Options{}, &error);
        ASSERT_NE(sim, nullptr) << error;
        sim->SetStation(kStation, Image());
        for (const Response &response : fault.queued) sim->QueueResponse(kStation, response);
        if (fault.fallback) sim->SetDefaultResponse(kStation, *fault.fallback);

        alignas(8) unsigned char context[QOR_CONTEXT_SIZE] = {};
        ASSERT_EQ(ColdStartOn(context, DriverPortName(*sim), 1, fault.replyTimeout), QOR_DONE);
        TestGate gate = Parse(fault.operation, fault.gate, fault.count);
        if (fault.operation == QOR_OP_SINGLE_WRITE) gate.values[1] = 9;
        if (fault.operation == QOR_OP_BLOCK_WRITE) {
            for (int i = 0; i < fault.count; ++i) gate.values[static_cast<size_t>(i)] = static_cast<int16_t>(i + 1);
        }

        LogCapture log;
        const Timed run = Request(context, fault.operation, gate);
        const Clock::duration bound = Bound(fault.attempts, fault.replyTimeout);
        std::printf("%s: %.0f ms (bound %.0f ms)\n", fault.name, Milliseconds(run.took), Milliseconds(bound));
        EXPECT_EQ(run.result, fault.result);
        EXPECT_EQ(log.Lines(), fault.lines);
        EXPECT_EQ(std::vector<int16_t>(gate.values.begin(), gate.values.begin() + 5), fault.values);
        EXPECT_LE(run.took, bound + kSlack);
        EXPECT_EQ(QorCall(context, QOR_OP_CLOSE_COM, nullptr), QOR_DONE);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Line, LineFaults, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

// The device is pulled (the simulator closes its end of the pseudo-
// terminal), before a read or while one waits for its reply. Every request
// then fails within its time-outs, the dead port closes, and a change to
// another port brings the context back.
struct Pulled {
    const char *name;
    bool whileReading;
};

void PrintTo(const Pulled &pulled, std::ostream *os) { *os << pulled.name; }

class PulledDevice : public testing::TestWithParam<Pulled> {};

TEST_P(PulledDevice, FailsInTimeAndRecoversOnAnotherPort) {
    const bool whileReading = GetParam().whileReading;
    // A second per character: the device goes while the first attempt still waits.
    constexpr int32_t kReplyTimeout = 100;
    const int descriptors = OpenDescriptorCount();
    {
        std::string error;
        std::unique_ptr<Simulator> pulled = Simulator::Start(optolink_sim::Options{}, &error);
        ASSERT_NE(pulled, nullptr) << error;
        std::unique_ptr<Simulator> spare = Simulator::Start(optolink_sim::Options{}, &error);
        ASSERT_NE(spare, nullptr) << error;
        pulled->SetStation(kStation, Image());
        spare->SetStation(kStation, Image(0x77));

        alignas(8) unsigned char context[QOR_CONTEXT_SIZE] = {};
        ASSERT_EQ(ColdStartOn(context, DriverPortName(*pulled), 1, kReplyTimeout), QOR_DONE);
        LogCapture log;

        std::thread puller;
        if (whileReading) {
            // The station keeps quiet, so the read is waiting when the device goes.
            pulled->SetDefaultResponse(kStation, Silent());
            puller = std::thread([&pulled] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                pulled->Hangup();
            });
        } else {
            pulled->Hangup();
        }
        TestGate byte = Parse(QOR_OP_SINGLE_READ, "05CA", 1);
        const Timed read = Request(context, QOR_OP_SINGLE_READ, byte);
        if (puller.joinable()) puller.join();
        std::printf("read on the pulled device: %.0f ms\n", Milliseconds(read.took));
        EXPECT_EQ(read.result, QOR_FAILED);
        EXPECT_LE(read.took, Bound(4, kReplyTimeout) + kSlack);
        // Once the device is gone no frame goes out any more.
        std::vector<LogLine> lines;
        for (int left = 4; left >= 1; --left) {
            if (!(whileReading && left == 4)) lines.push_back(kSendFailed);
            lines.push_back(Retry(left));
        }
        lines.push_back(Operator("DOVED: Single Read Failed. Gate = 05CA"));
        EXPECT_EQ(log.Lines(), lines);

        // Every other kind of request fails as well, and as quickly.
        const struct {
            uint32_t operation;
            const char *text;
            int32_t count;
            int attempts;
        } others[] = {
            {QOR_OP_BLOCK_READ, "05AA", 4, 4},
            {QOR_OP_SINGLE_WRITE, "05C3", 1, 4},
            {QOR_OP_BLOCK_WRITE, "05AA", 3, 3},
        };
        for (const auto &other : others) {
            TestGate gate = Parse(other.operation, other.text, other.count);
            gate.values[1] = 1;
            const Timed run = Request(context, other.operation, gate);
            std::printf("operation %u on the pulled device: %.0f ms\n", other.operation, Milliseconds(run.took));
            EXPECT_EQ(run.result, QOR_FAILED) << other.operation;
            EXPECT_LE(run.took, Bound(other.attempts, kReplyTimeout) + kSlack) << other.operation;
        }

        ChangeParams change{};
        std::strncpy(change.portName, DriverPortName(*spare).c_str(), sizeof change.portName - 1);
        if (whileReading) {
            // The change closes the dead port itself and keeps the context running.
            EXPECT_EQ(QorCall(context, QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_DONE);
        } else {
            // The host closes the dead port, changes to the spare one and
            // makes the context active again.
            EXPECT_EQ(QorCall(context, QOR_OP_CLOSE_COM, nullptr), QOR_DONE);
            EXPECT_EQ(reinterpret_cast<DriverContext *>(context)->portHandle, 0u);
            EXPECT_EQ(QorCall(context, QOR_OP_CHANGE_QOR_PARAMS, &change), QOR_DONE);
            EXPECT_EQ(QorCall(context, QOR_OP_CLOSE_COM, nullptr), QOR_DONE);
            EXPECT_EQ(QorCall(context, QOR_OP_REOPEN_COM, nullptr), QOR_DONE);
        }
        TestGate again = Parse(QOR_OP_SINGLE_READ, "05CA", 1);
        EXPECT_EQ(Request(context, QOR_OP_SINGLE_READ, again).result, QOR_DONE);
        EXPECT_EQ(again.values[1], 0x77);
        EXPECT_EQ(QorCall(context, QOR_OP_CLOSE_COM, nullptr), QOR_DONE);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Line, PulledDevice,
                         testing::Values(Pulled{"BeforeTheRead", false}, Pulled{"WhileTheReadWaits", true}),
                         [](const testing::TestParamInfo<Pulled> &info) { return std::string(info.param.name); });

}  // namespace
