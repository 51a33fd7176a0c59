// SingleRead and BlockRead through QorMain against the station simulator.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/qorhost.h"
#include "tests/support/sim_fixture.h"

namespace {

using optolink_sim::Response;
using optolink_sim::StationImage;

constexpr const char *kDataQuery5 = "s@E@@B@@@MKe";
constexpr const char *kDataQuery12 = "s@L@@B@@@MDe";

// Station 5 of the worked example: C 0x5A, E 0xF2, F 0x37.
StationImage WorkedExampleImage() {
    StationImage image;
    image.groups[2] = 0x5A;
    image.groups[4] = 0xF2;
    image.groups[5] = 0x37;
    return image;
}

class GateReadTest : public SimFixture {};

TEST_F(GateReadTest, WorkedExampleByteForByte) {
    sim().SetStation(5, WorkedExampleImage());
    const struct {
        const char *text;
        uint32_t operation;
        int32_t count;
        std::vector<int16_t> expected;  // elements 0 to 4 afterwards
    } cases[] = {
        {"05CA", QOR_OP_SINGLE_READ, 1, {kUntouched, 90, kUntouched, kUntouched, kUntouched}},
        {"05C3", QOR_OP_SINGLE_READ, 1, {kUntouched, 1, kUntouched, kUntouched, kUntouched}},
        {"05EC", QOR_OP_SINGLE_READ, 1, {kUntouched, -1237, kUntouched, kUntouched, kUntouched}},
        {"05AA", QOR_OP_BLOCK_READ, 4, {0, 0, 90, 0, kUntouched}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        sim().ClearLog();
        log_.Clear();
        TestGate gate = c.count == 1 ? Single(c.text) : Block(c.text, c.count);
        EXPECT_EQ(Run(c.operation, gate), QOR_DONE);
        EXPECT_EQ(std::vector<int16_t>(gate.values.begin(), gate.values.begin() + 5), c.expected);
        EXPECT_EQ(Received(), std::vector<std::string>{kDataQuery5});
        EXPECT_TRUE(log_.Lines().empty());
    }
    // The reply the example works through is what the station sent.
    std::vector<std::string> sent;
    for (const auto &frame : sim().FrameLog())
        if (!frame.received) sent.push_back(frame.text);
    EXPECT_EQ(sent, std::vector<std::string>{"s@@@@@@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GHe"});
}

TEST_F(GateReadTest, CompoundValues) {
    const struct {
        uint8_t groupE, groupF;
        int16_t value;
    } cases[] = {{0xE0, 0x00, 0}, {0xF9, 0x99, -1999}, {0xD9, 0x99, 1999}, {0xC1, 0x23, 123}, {0xF2, 0x37, -1237}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.value);
        StationImage image;
        image.groups[4] = c.groupE;
        image.groups[5] = c.groupF;
        sim().SetStation(5, image);
        TestGate gate = Single("05EC");
        EXPECT_EQ(Run(QOR_OP_SINGLE_READ, gate), QOR_DONE);
        EXPECT_EQ(gate.values[1], c.value);
        EXPECT_EQ(gate.values[0], kUntouched);
    }
    EXPECT_TRUE(log_.Lines().empty());
}

struct CompoundRefusal {
    const char *name;
    uint8_t groupE, groupF;
    const char *reason;
};

class CompoundRefusalTest : public SimFixture, public testing::WithParamInterface<CompoundRefusal> {};

TEST_P(CompoundRefusalTest, EveryAttemptLogsWhyAndPollsAgain) {
    const CompoundRefusal &c = GetParam();
    StationImage image;
    image.groups[4] = c.groupE;
    image.groups[5] = c.groupF;
    sim().SetStation(5, image);
    TestGate gate = Single("05ec");
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, gate), QOR_REFUSED);
    EXPECT_EQ(gate.values[1], kUntouched);
    EXPECT_EQ(Received(), std::vector<std::string>(4, kDataQuery5));
    std::vector<LogLine> expected;
    for (int attempt = 0; attempt < 4; ++attempt) {
        expected.push_back(Diagnostic(c.reason));
        expected.push_back(Diagnostic("DOVED: DoBlockRead() Incorrect data received"));
    }
    expected.push_back(Operator("DOVED: Single Read Failed. Gate = 05EC"));
    EXPECT_EQ(log_.Lines(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, CompoundRefusalTest,
    testing::Values(
        // Neither bit 8 nor bit 4: only the first test speaks.
        CompoundRefusal{"NeitherFlag", 0x01, 0x23, "DOVED: Data for Compound Gate 05EC is ignored!"},
        CompoundRefusal{"OnlyValidFlag", 0x41, 0x23, "DOVED: Data for Compound Gate 05EC is ignored!"},
        CompoundRefusal{"NotValid", 0x81, 0x23, "DOVED: Invalid Data for Compound Gate 05EC"},
        CompoundRefusal{"HundredsNotBcd", 0xCA, 0x23, "DOVED: Non-BCD Data for Compound Gate 05EC"},
        CompoundRefusal{"TensNotBcd", 0xC1, 0xB3, "DOVED: Non-BCD Data for Compound Gate 05EC"},
        CompoundRefusal{"UnitsNotBcd", 0xC1, 0x2F, "DOVED: Non-BCD Data for Compound Gate 05EC"}),
    [](const testing::TestParamInfo<CompoundRefusal> &info) { return std::string(info.param.name); });

// One read of "12CA" (group C 0x5A on station 12) through a sequence of
// station behaviours.
struct ReadScenario {
    const char *name;
    std::vector<Response> queued;  // for the first requests, in order
    Response otherwise;            // for every later request
    int32_t result;
    int16_t value;  // element 1 afterwards
    std::vector<LogLine> lines;
    size_t requests;
};

const std::string kFailed12 = "DOVED: Single Read Failed. Gate = 12CA";
const std::string kIncorrect = "DOVED: DoBlockRead() Incorrect data received";
const std::string kWrongStation7 = "DOVED: DoBlockRead() wrong plcaddr (7) in received msg!";
const std::string kFieldFault = "DOVED. Station 2:Problem with Field Equipment!";

Response FieldFault() {
    Response response;
    response.fieldFault = true;
    return response;
}

// A reply of station 12 whose closing "e" stands at position 99; group C 0x5A.
std::string ReplyEndingAt(size_t endPosition) {
    std::string reply = "s@@@@@@@L@@@@EJ";
    reply.append(endPosition - reply.size(), '@');
    return reply + "e";
}

class ReadScenarioTest : public SimFixture, public testing::WithParamInterface<ReadScenario> {};

TEST_P(ReadScenarioTest, ResultLogAndRequests) {
    const ReadScenario &c = GetParam();
    StationImage image;
    image.groups[2] = 0x5A;
    sim().SetStation(12, image);
    for (const Response &response : c.queued) sim().QueueResponse(12, response);
    sim().SetDefaultResponse(12, c.otherwise);
    TestGate gate = Single("12CA");
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, gate), c.result);
    EXPECT_EQ(gate.values[1], c.value);
    EXPECT_EQ(gate.values[0], kUntouched);
    EXPECT_EQ(log_.Lines(), c.lines);
    EXPECT_EQ(Received(), std::vector<std::string>(c.requests, kDataQuery12));
}

INSTANTIATE_TEST_SUITE_P(
    Reads, ReadScenarioTest,
    testing::Values(
        ReadScenario{"Good", {}, Response{}, QOR_DONE, 90, {}, 1},
        ReadScenario{"SilentStation", {}, Silent(), QOR_FAILED, kUntouched, RetryLines(4, 1) + std::vector{Operator(kFailed12)}, 4},
        ReadScenario{"FieldFaultThenSilence",
                     {FieldFault()},
                     Silent(),
                     QOR_REFUSED,
                     kUntouched,
                     std::vector{Operator(kFieldFault)} + RetryLines(3, 1) + std::vector{Operator(kFailed12)},
                     4},
        ReadScenario{"FieldFaultFromAnotherStation",
                     {},
                     [] {
                         Response r = FieldFault();
                         r.answerAs = 7;
                         return r;
                     }(),
                     QOR_REFUSED,
                     kUntouched,
                     std::vector(4, Operator(kFieldFault)) + std::vector{Operator(kFailed12)},
                     4},
        ReadScenario{"TwoSilencesThenGood", {Silent(), Silent()}, Response{}, QOR_DONE, 90, RetryLines(4, 3), 3},
        ReadScenario{"WrongStation",
                     {},
                     AnswerAs(7),
                     QOR_REFUSED,
                     kUntouched,
                     std::vector(4, Diagnostic(kWrongStation7)) + std::vector{Operator(kFailed12)},
                     4},
        ReadScenario{"WrongStationThenGood", {AnswerAs(7)}, Response{}, QOR_DONE, 90, {Diagnostic(kWrongStation7)}, 2},
        // The start hunt: 99 junk characters leave the 100th try for the reply.
        ReadScenario{"NinetyNineJunk", {JunkBefore(std::string(99, 'x'))}, Response{}, QOR_DONE, 90, {}, 1},
        ReadScenario{"HundredJunk",
                     {},
                     JunkBefore(std::string(100, 'x')),
                     QOR_FAILED,
                     kUntouched,
                     RetryLines(4, 1) + std::vector{Operator(kFailed12)},
                     4},
        // "ss@@": the second "s" is the first try's failed "@" and starts nothing.
        ReadScenario{"DoubleStart", {}, JunkBefore("s"), QOR_FAILED, kUntouched, RetryLines(4, 1) + std::vector{Operator(kFailed12)}, 4},
        // "sAs@@": the try that fails at "A" leaves the next "s" to start a frame.
        ReadScenario{"FailedTryThenStart", {JunkBefore("sA")}, Response{}, QOR_DONE, 90, {}, 1},
        ReadScenario{"EndAtNinetyNine", {Raw(ReplyEndingAt(99))}, Response{}, QOR_DONE, 90, {}, 1},
        ReadScenario{"EndAtHundred",
                     {},
                     Raw(ReplyEndingAt(100)),
                     QOR_FAILED,
                     kUntouched,
                     RetryLines(4, 1) + std::vector{Operator(kFailed12)},
                     4},
        ReadScenario{"StopsAfterFiveCharacters",
                     {},
                     [] {
                         Response r;
                         r.truncateAfter = 5;
                         return r;
                     }(),
                     QOR_FAILED,
                     kUntouched,
                     RetryLines(4, 1) + std::vector{Operator(kFailed12)},
                     4},
        ReadScenario{"WrongChecksumDelivered",
                     {[] {
                         Response r;
                         r.wrongChecksum = true;
                         return r;
                     }()},
                     Response{},
                     QOR_DONE,
                     90,
                     {},
                     1},
        // Characters outside "@".."O" are decoded by the formula: "0J" is 0xF0A, low byte 0x0A.
        ReadScenario{"OutsideAlphabetDecoded", {Raw("s@@@@@@@L@@@@0J@@e")}, Response{}, QOR_DONE, 10, {}, 1},
        // Too short for what is decoded: incorrect data, never decoded.
        ReadScenario{"NoStationPair",
                     {},
                     Raw("s@@@@@@@e"),
                     QOR_REFUSED,
                     kUntouched,
                     std::vector(4, Diagnostic(kIncorrect)) + std::vector{Operator(kFailed12)},
                     4},
        ReadScenario{"GroupPairIsTheChecksum",
                     {},
                     Raw("s@@@@@@@L@@@@EJe"),
                     QOR_REFUSED,
                     kUntouched,
                     std::vector(4, Diagnostic(kIncorrect)) + std::vector{Operator(kFailed12)},
                     4},
        ReadScenario{"GroupJustBeforeTheChecksum", {Raw("s@@@@@@@L@@@@EJ@@e")}, Response{}, QOR_DONE, 90, {}, 1},
        // The first reply fills the buffer with a good group C; the second,
        // short one must not be decoded from what the first left there.
        ReadScenario{"ShortReplyAfterAFullOne",
                     {AnswerAs(7), Raw("s@@@@@@@L@@e")},
                     Silent(),
                     QOR_REFUSED,
                     kUntouched,
                     std::vector{Diagnostic(kWrongStation7), Diagnostic(kIncorrect)} + RetryLines(2, 1) +
                         std::vector{Operator(kFailed12)},
                     4}),
    [](const testing::TestParamInfo<ReadScenario> &info) { return std::string(info.param.name); });

TEST_F(GateReadTest, ShortCompoundReplyIsIncorrectWithoutCompoundLines) {
    // Groups A to E only: the compound gate on E needs F as well.
    sim().SetStation(5, WorkedExampleImage());
    sim().SetDefaultResponse(5, Raw("s@@@@@@@E@@@@@@@@OB@@e"));
    TestGate gate = Single("05EC");
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, gate), QOR_REFUSED);
    EXPECT_EQ(gate.values[1], kUntouched);
    EXPECT_EQ(log_.Lines(),
              std::vector(4, Diagnostic(kIncorrect)) + std::vector{Operator("DOVED: Single Read Failed. Gate = 05EC")});
}

TEST_F(GateReadTest, ShortBlockReplyIsIncorrect) {
    // Groups A to C: a block of four needs D.
    sim().SetStation(5, WorkedExampleImage());
    sim().SetDefaultResponse(5, Raw("s@@@@@@@E@A@B@C@@e"));
    TestGate gate = Block("05AA", 4);
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, gate), QOR_REFUSED);
    EXPECT_EQ(std::vector<int16_t>(gate.values.begin(), gate.values.begin() + 4), std::vector<int16_t>(4, kUntouched));
    EXPECT_EQ(log_.Lines(),
              std::vector(4, Diagnostic(kIncorrect)) + std::vector{Operator("DOVED: Block Read Failed. Gate = 05AA")});
    // The same reply serves a block of three.
    log_.Clear();
    TestGate three = Block("05AA", 3);
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, three), QOR_DONE);
    EXPECT_EQ(std::vector<int16_t>(three.values.begin(), three.values.begin() + 4),
              (std::vector<int16_t>{1, 2, 3, kUntouched}));
}

TEST_F(GateReadTest, ElementCountDecidesTheLayout) {
    StationImage image = WorkedExampleImage();
    image.groups[0] = 0x21;
    sim().SetStation(5, image);

    // A block of one lands in element 1, like a single gate.
    TestGate one = Block("05AA", 1);
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, one), QOR_DONE);
    EXPECT_EQ(one.values[0], kUntouched);
    EXPECT_EQ(one.values[1], 0x21);

    // A bit gate with count 3 is read as a block from its group: C, D, E.
    TestGate bits = Single("05C3");
    bits.elementCount = 3;
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, bits), QOR_DONE);
    EXPECT_EQ(std::vector<int16_t>(bits.values.begin(), bits.values.begin() + 4),
              (std::vector<int16_t>{90, 0, 242, kUntouched}));

    // Counts of 0 and below: a good reply, nothing stored.
    for (int32_t count : {0, -3}) {
        SCOPED_TRACE(count);
        TestGate none = Block("05AA", count);
        EXPECT_EQ(Run(QOR_OP_BLOCK_READ, none), QOR_DONE);
        EXPECT_EQ(none.values, std::vector<int16_t>(18, kUntouched));
    }

    // A block that ends on group P is read whole.
    TestGate fromB = Single("05BA");
    fromB.elementCount = 15;
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, fromB), QOR_DONE);
    EXPECT_EQ(fromB.values[1], 90);
    EXPECT_EQ(fromB.values[3], 242);
    EXPECT_EQ(fromB.values[15], kUntouched);
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(GateReadTest, CountsPastGroupPAreRefusedBeforeSending) {
    sim().SetStation(5, WorkedExampleImage());
    const struct {
        const char *text;
        uint32_t operation;
        int32_t count;
        const char *line;
    } cases[] = {
        {"05AA", QOR_OP_BLOCK_READ, 17, "DOVED: Block Read Failed. Gate = 05AA"},
        {"05AA", QOR_OP_BLOCK_READ, 1000000, "DOVED: Block Read Failed. Gate = 05AA"},
        {"05pa", QOR_OP_SINGLE_READ, 2, "DOVED: Single Read Failed. Gate = 05PA"},
        {"05CA", QOR_OP_BLOCK_READ, 15, "DOVED: Block Read Failed. Gate = 05CA"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.count));
        log_.Clear();
        TestGate gate = Single(c.text);
        gate.elementCount = c.count;
        EXPECT_EQ(Run(c.operation, gate), QOR_REFUSED);
        EXPECT_EQ(gate.values, std::vector<int16_t>(18, kUntouched));
        EXPECT_EQ(log_.Lines(), std::vector{Operator(c.line)});
    }
    EXPECT_TRUE(Received().empty());

    // Sixteen groups from A is the whole station.
    TestGate all = Block("05AA", 16);
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, all), QOR_DONE);
    EXPECT_EQ(all.values[2], 90);
    EXPECT_EQ(all.values[15], 0);
    EXPECT_EQ(all.values[16], kUntouched);
}

TEST_F(GateReadTest, FailureLinesNameTheGate) {
    // Decoded like "05AA"...
    sim().SetStation(5, WorkedExampleImage());
    TestGate block = Block("05aa", 4);
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, block), QOR_DONE);
    EXPECT_EQ(block.values[2], 90);

    // ...and named in the failure lines: BlockRead as given, SingleRead normalised.
    sim().SetDefaultResponse(5, Silent());
    TestGate single = Single("05aa");
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, block), QOR_FAILED);
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, single), QOR_FAILED);
    EXPECT_EQ(log_.Lines(), RetryLines(4, 1) + std::vector{Operator("DOVED: Block Read Failed. Gate = 05aa")} +
                                RetryLines(4, 1) + std::vector{Operator("DOVED: Single Read Failed. Gate = 05AA")});
}

TEST_F(GateReadTest, LongAddressTextIsCutInTheGateName) {
    sim().SetStation(5, WorkedExampleImage());
    sim().SetDefaultResponse(5, Silent());
    TestGate gate = Single("05CA");
    // Longer than any parser accepts: the name keeps its first 11 characters.
    gate.text = "05ca_abcdefghijklmnopqrstuvwxyz";
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, gate), QOR_FAILED);
    EXPECT_EQ(log_.Lines(), RetryLines(4, 1) + std::vector{Operator("DOVED: Single Read Failed. Gate = 05CA_ABCDEF")});
}

TEST_F(GateReadTest, InactiveContextRefusesSilently) {
    ASSERT_EQ(Start("nosuchtty9", 0), QOR_DONE);
    sim().SetStation(5, WorkedExampleImage());
    TestGate single = Single("05CA");
    TestGate block = Block("05AA", 4);
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, single), QOR_REFUSED);
    EXPECT_EQ(Run(QOR_OP_BLOCK_READ, block), QOR_REFUSED);
    EXPECT_EQ(single.values, std::vector<int16_t>(18, kUntouched));
    EXPECT_EQ(block.values, std::vector<int16_t>(18, kUntouched));
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_TRUE(Received().empty());
}

TEST_F(GateReadTest, ActiveWithoutPortFailsEveryAttempt) {
    ASSERT_EQ(Start("nosuchtty9", 1), QOR_FAILED);
    TestGate gate = Single("05CA");
    EXPECT_EQ(Run(QOR_OP_SINGLE_READ, gate), QOR_FAILED);
    std::vector<LogLine> expected;
    for (int retry = 4; retry >= 1; --retry)
        expected = expected + std::vector{Diagnostic("DOVED:SEND(). Unable to send message.")} + RetryLines(retry, retry);
    expected.push_back(Operator("DOVED: Single Read Failed. Gate = 05CA"));
    EXPECT_EQ(log_.Lines(), expected);
    EXPECT_EQ(gate.values[1], kUntouched);
}

}  // namespace
