// Eight ports served at once: eight contexts, each on a pseudo-terminal of
// its own with a station simulator behind it, polled from eight host
// threads with reads and writes of every kind, while a ninth thread ends
// the driver with EndQor at a random moment.
//
// Every station image carries its port's mark (the high nibble of groups A
// to N is the port number plus one, groups O and P a BCD value of the
// port's own), so a value that reaches the wrong context shows. After the
// latch every request must answer 0 at once and touch nothing: no value,
// no context byte, no frame on the line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "context/driver_context.h"
#include "entry/qor_interface.h"
#include "host/qorhost.h"
#include "tests/support/log_capture.h"
#include "tools/optolink-sim/optolink_sim.h"
#include "tests/support/qor_call.h"

namespace {

using Clock = std::chrono::steady_clock;
using optolink_sim::Simulator;
using optolink_sim::StationImage;

constexpr int kPorts = 8;
constexpr int kStation = 5;
// 500 ms per reply character: the stations answer at once, but eighteen
// threads share two cores here.
constexpr int32_t kReplyTimeout = 50;
// Groups A to N carry the port's mark in their high nibble; O and P hold
// the port's compound value and are never written.
constexpr int kMarkedGroups = 14;
constexpr int16_t kUntouched = 0x7777;
constexpr int kRoundsBeforeLatch = 5;
constexpr int kRoundsAfterLatch = 20;
// A request after the latch does nothing; one that took this long did
// something (a real exchange with a station costs a round trip on the pty).
constexpr auto kPromptly = std::chrono::milliseconds(500);

uint8_t Mark(int port) { return static_cast<uint8_t>(port + 1); }

// Compound value of groups O and P: negative for odd ports, a thousand
// more from port 4 on, digits from the port number.
int16_t CompoundValue(int port) {
    const int magnitude = 1000 * (port >= 4 ? 1 : 0) + 100 * port + 10 * port + (9 - port);
    return static_cast<int16_t>(port % 2 != 0 ? -magnitude : magnitude);
}

StationImage ImageOf(int port) {
    StationImage image;
    for (int g = 0; g < kMarkedGroups; ++g) image.groups[g] = static_cast<uint8_t>(Mark(port) << 4 | (g * 5 + port) % 16);
    const unsigned flags = 0xC | (port % 2 != 0 ? 2 : 0) | (port >= 4 ? 1 : 0);
    image.groups[14] = static_cast<uint8_t>(flags << 4 | port);
    image.groups[15] = static_cast<uint8_t>(port << 4 | (9 - port));
    return image;  // masks all "@@": a write sends the other groups back as they are
}

struct Gate {
    std::string text;
    uint32_t words[QOR_ADDRESS_WORDS] = {};
    int32_t count = 1;
};

Gate Single(const std::string &text, int32_t dataType) {
    Gate gate;
    gate.text = text;
    AddressParseRecord parse{};
    parse.text = gate.text.c_str();
    parse.dataType = dataType;
    EXPECT_EQ(QorCall(nullptr, QOR_OP_SINGLE_ADDRESS_PARSER, &parse), QOR_DONE) << text;
    std::memcpy(gate.words, parse.words, sizeof gate.words);
    return gate;
}

Gate Block(int32_t count) {
    Gate gate;
    gate.text = "05AA";
    gate.count = count;
    AddressParseRecord parse{};
    parse.text = gate.text.c_str();
    parse.elementCount = count;
    EXPECT_EQ(QorCall(nullptr, QOR_OP_BLOCK_ADDRESS_PARSER, &parse), QOR_DONE);
    std::memcpy(gate.words, parse.words, sizeof gate.words);
    return gate;
}

std::string GroupText(int group, char suffix) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d%c%c", kStation, 'A' + group, suffix);
    return text;
}

// Where the ninth thread is: the workers judge a request by the phase it
// started and ended in.
enum Phase : int { kRunning, kEnding, kLatched };

struct Port {
    std::unique_ptr<Simulator> sim;
    alignas(8) unsigned char context[QOR_CONTEXT_SIZE] = {};
};

class Worker {
public:
    Worker(int port, Port &line, const std::atomic<int> &phase, uint32_t seed)
        : port_(port), line_(line), phase_(phase), random_(seed) {}

    std::atomic<int> rounds{0};
    std::vector<std::string> failures;
    int requestsAfterLatch = 0;
    Clock::duration slowestAfterLatch{};

    void Run() {
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(60);
        while (phase_.load() != kLatched && Clock::now() < giveUp) {
            Round();
            ++rounds;
        }
        if (phase_.load() != kLatched) {
            Fail("the latch never came");
            return;
        }
        for (int round = 0; round < kRoundsAfterLatch; ++round) Round();
        if (line_.sim->Received().size() != framesAtLatch_) Fail("frames reached the line after the latch");
    }

private:
    void Fail(const std::string &what) {
        if (failures.size() < 20) failures.push_back("port " + std::to_string(port_) + ": " + what);
    }

    int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    int16_t MarkedByte() { return static_cast<int16_t>(Mark(port_) << 4 | Random(0, 15)); }

    // One request with a buffer of 18 elements. Answers true when it ran
    // wholly before the latch, so that its values can be judged.
    bool Request(uint32_t operation, const Gate &gate, std::vector<int16_t> &values) {
        GateRecord record{};
        record.text = gate.text.c_str();
        std::memcpy(record.words, gate.words, sizeof record.words);
        record.elementCount = gate.count;
        record.values = values.data();
        const std::vector<int16_t> before = values;

        const int startedIn = phase_.load();
        if (startedIn == kLatched && !latchSeen_) {
            // Nothing of this port's is in flight: every frame sent so far
            // has been answered, so the station has logged it.
            latchSeen_ = true;
            std::memcpy(contextAtLatch_, line_.context, sizeof contextAtLatch_);
            framesAtLatch_ = line_.sim->Received().size();
        }
        const Clock::time_point start = Clock::now();
        const int32_t result = QorCall(line_.context, operation, &record);
        const Clock::duration took = Clock::now() - start;
        const int endedIn = phase_.load();

        const std::string what = gate.text + " operation " + std::to_string(operation);
        if (result != QOR_DONE) Fail(what + ": result " + std::to_string(result));
        if (startedIn == kLatched) {
            ++requestsAfterLatch;
            slowestAfterLatch = std::max(slowestAfterLatch, took);
            if (took > kPromptly) Fail(what + " after the latch took long");
            if (values != before) Fail(what + " after the latch changed the values");
            if (std::memcmp(contextAtLatch_, line_.context, sizeof contextAtLatch_) != 0)
                Fail(what + " after the latch changed the context");
        }
        return endedIn == kRunning;
    }

    void ExpectMarked(const std::string &what, int16_t value) {
        if (value < 0 || value > 255 || (value >> 4) != Mark(port_))
            Fail(what + ": value " + std::to_string(value) + " is not this port's");
    }

    void Round() {
        std::vector<int16_t> values(18, kUntouched);
        const int group = Random(0, kMarkedGroups - 1);

        // A byte of a marked group.
        const Gate byte = Single(GroupText(group, 'A'), QOR_TYPE_BYTE);
        if (Request(QOR_OP_SINGLE_READ, byte, values)) ExpectMarked("byte " + byte.text, values[1]);

        // A bit of the mark.
        const int markBit = Random(0, 3);  // suffix 0 to 3: bits 7 to 4
        const Gate bit = Single(GroupText(group, static_cast<char>('0' + markBit)), QOR_TYPE_BIT);
        values.assign(18, kUntouched);
        if (Request(QOR_OP_SINGLE_READ, bit, values) && values[1] != ((Mark(port_) >> (3 - markBit)) & 1))
            Fail("bit " + bit.text + ": " + std::to_string(values[1]));

        // The port's compound value.
        const Gate compound = Single(GroupText(14, 'C'), QOR_TYPE_COMPOUND);
        values.assign(18, kUntouched);
        if (Request(QOR_OP_SINGLE_READ, compound, values) && values[1] != CompoundValue(port_))
            Fail("compound: " + std::to_string(values[1]));

        // A block of marked groups.
        const Gate block = Block(Random(2, kMarkedGroups));
        values.assign(18, kUntouched);
        if (Request(QOR_OP_BLOCK_READ, block, values)) {
            for (int i = 0; i < block.count; ++i) ExpectMarked("block element " + std::to_string(i), values[i]);
        }

        // A byte written and read back.
        values.assign(18, kUntouched);
        const int16_t written = MarkedByte();
        values[1] = written;
        bool judged = Request(QOR_OP_SINGLE_WRITE, byte, values);
        values.assign(18, kUntouched);
        if (Request(QOR_OP_SINGLE_READ, byte, values) && judged && values[1] != written)
            Fail("byte " + byte.text + " read back " + std::to_string(values[1]) + " after writing " +
                 std::to_string(written));

        // A bit below the mark (suffix 4 to 7) set or cleared and read back.
        const Gate free = Single(GroupText(group, static_cast<char>('0' + Random(4, 7))), QOR_TYPE_BIT);
        const int16_t state = static_cast<int16_t>(Random(0, 1));
        values.assign(18, kUntouched);
        values[1] = state;
        judged = Request(QOR_OP_SINGLE_WRITE, free, values);
        values.assign(18, kUntouched);
        if (Request(QOR_OP_SINGLE_READ, free, values) && judged && values[1] != state)
            Fail("bit " + free.text + " read back " + std::to_string(values[1]));

        // A block written and read back.
        const Gate blockWrite = Block(Random(2, kMarkedGroups));
        std::vector<int16_t> sent(18, kUntouched);
        for (int i = 0; i < blockWrite.count; ++i) sent[static_cast<size_t>(i)] = MarkedByte();
        values = sent;
        judged = Request(QOR_OP_BLOCK_WRITE, blockWrite, values);
        values.assign(18, kUntouched);
        if (Request(QOR_OP_BLOCK_READ, blockWrite, values) && judged && values != sent)
            Fail("block of " + std::to_string(blockWrite.count) + " read back otherwise");

        // After the latch the parsers, too, answer 0 and write nothing.
        if (phase_.load() == kLatched) {
            AddressParseRecord parse{};
            parse.text = "05CA";
            std::memset(parse.words, 0xEE, sizeof parse.words);
            const AddressParseRecord before = parse;
            if (QorCall(nullptr, QOR_OP_SINGLE_ADDRESS_PARSER, &parse) != QOR_DONE ||
                std::memcmp(&parse, &before, sizeof parse) != 0)
                Fail("the parser ran after the latch");
        }
    }

    int port_;
    Port &line_;
    const std::atomic<int> &phase_;
    std::mt19937 random_;
    bool latchSeen_ = false;
    unsigned char contextAtLatch_[QOR_CONTEXT_SIZE] = {};
    size_t framesAtLatch_ = 0;
};

int32_t StartOn(unsigned char *context, const std::string &name) {
    StartParams start{};
    EXPECT_LT(name.size(), sizeof start.portName) << name;
    std::strncpy(start.portName, name.c_str(), sizeof start.portName - 1);
    start.enabled = 1;
    start.replyTimeout = kReplyTimeout;
    start.line = LineSettings{9600, 8, 0, 0};
    return QorCall(context, QOR_OP_COLD_START, &start);
}

TEST(ManyPorts, EightContextsAtOnceThenEndQor) {
    LogCapture log;
    Port ports[kPorts];
    for (int i = 0; i < kPorts; ++i) {
        std::string error;
        ports[i].sim = Simulator::Start(optolink_sim::Options{}, &error);
        ASSERT_NE(ports[i].sim, nullptr) << error;
        ports[i].sim->SetStation(kStation, ImageOf(i));
        // "pts/N": the port name field holds 11 characters.
        ASSERT_EQ(StartOn(ports[i].context, ports[i].sim->PortPath().substr(5)), QOR_DONE) << i;
    }
    // The ninth context, the one EndQor is called on.
    alignas(8) unsigned char last[QOR_CONTEXT_SIZE] = {};
    ASSERT_EQ(StartOn(last, "NUL"), QOR_DONE);

    const uint32_t seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::atomic<int> phase{kRunning};
    std::vector<std::unique_ptr<Worker>> workers;
    for (int i = 0; i < kPorts; ++i) workers.push_back(std::make_unique<Worker>(i, ports[i], phase, seed + i));

    std::vector<std::thread> threads;
    for (auto &worker : workers) threads.emplace_back([&worker] { worker->Run(); });

    int32_t endResult = -1;
    std::thread ender([&] {
        // Every port busy with every kind of request first, then a moment
        // nobody chose.
        const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(50);
        auto allBusy = [&] {
            return std::all_of(workers.begin(), workers.end(),
                               [](const auto &worker) { return worker->rounds.load() >= kRoundsBeforeLatch; });
        };
        while (!allBusy() && Clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::mt19937 random(seed);
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 500)(random)));
        phase = kEnding;
        QorRequest request{};
        request.context = last;
        request.operation = QOR_OP_END_QOR;
        endResult = QorMain(&request);
        phase = kLatched;
    });
    ender.join();
    for (std::thread &thread : threads) thread.join();

    EXPECT_EQ(endResult, QOR_DONE);
    for (int i = 0; i < kPorts; ++i) {
        const Worker &worker = *workers[static_cast<size_t>(i)];
        for (const std::string &failure : worker.failures) ADD_FAILURE() << failure;
        EXPECT_GE(worker.rounds.load(), kRoundsBeforeLatch) << "port " << i;
        EXPECT_GT(worker.requestsAfterLatch, 0) << "port " << i;
        std::printf("port %d: %d rounds before the latch, %d requests after it, the slowest %.3f ms\n", i,
                    worker.rounds.load(), worker.requestsAfterLatch,
                    std::chrono::duration<double, std::milli>(worker.slowestAfterLatch).count());
    }
    // Only the starts were reported to the operator: no request failed.
    for (const LogLine &line : log.Lines()) {
        if (line.level == QOR_LOG_OPERATOR) {
            EXPECT_EQ(line.text, "DOVED: Dupline Optolink 32bit driver installed");
        }
    }

    // QorMain carries nothing out any more; the handler itself releases the ports.
    for (Port &port : ports) {
        QorRequest request{};
        request.context = port.context;
        EXPECT_EQ(CloseCom(&request), QOR_DONE);
    }
}

}  // namespace
