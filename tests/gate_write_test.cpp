// SingleWrite and BlockWrite through QorMain against the station simulator.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "host/qorhost.h"
#include "tests/support/sim_fixture.h"

namespace {

using optolink_sim::Response;
using optolink_sim::StationImage;

constexpr const char *kMask1 = "s@A@@@@@@OOe";
constexpr const char *kData1 = "s@A@@B@@@MOe";
constexpr const char *kWrite01CA90 = "s@A@CB@@@ABCDEJCLe";
const std::string kBadStation = "DOVED: Bad Plc Address in Reply";
const std::string kSendFailed = "DOVED:SEND(). Unable to send message.";

// Station 1 of the worked examples: A 0x12, B 0x34, C 0x0F.
StationImage ExampleImage(const std::vector<std::pair<int, uint8_t>> &masks = {}) {
    StationImage image;
    image.groups[0] = 0x12;
    image.groups[1] = 0x34;
    image.groups[2] = 0x0F;
    for (const auto &[group, mask] : masks) image.masks[group] = mask;
    return image;
}

LogLine Written(int byte) { return Diagnostic("DOVED: Digital Value to be written = " + std::to_string(byte)); }
LogLine Incorrect(const std::string &gate) {
    return Diagnostic("DOVED: SingleWrite() Incorrect data received. Gate = " + gate);
}

std::vector<std::string> Repeat(const std::vector<std::string> &frames, int times) {
    std::vector<std::string> all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), frames.begin(), frames.end());
    return all;
}

struct WriteFrameCase {
    const char *name;
    const char *text;
    int16_t value;
    std::vector<std::pair<int, uint8_t>> masks;  // group, mask byte
    const char *frame;
    std::vector<LogLine> lines;
};

class WriteFrameTest : public SimFixture, public testing::WithParamInterface<WriteFrameCase> {};

TEST_P(WriteFrameTest, MaskDataAndWriteFrame) {
    const WriteFrameCase &c = GetParam();
    sim().SetStation(1, ExampleImage(c.masks));
    TestGate gate = Single(c.text);
    gate.values[1] = c.value;
    EXPECT_EQ(Run(QOR_OP_SINGLE_WRITE, gate), QOR_DONE);
    EXPECT_EQ(Received(), (std::vector<std::string>{kMask1, kData1, c.frame}));
    EXPECT_EQ(log_.Lines(), c.lines);
    EXPECT_EQ(gate.values[1], c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, WriteFrameTest,
    testing::Values(
        WriteFrameCase{"ByteGate01CA", "01CA", 90, {}, kWrite01CA90, {}},
        WriteFrameCase{"BitGateSet", "01C2", 1, {}, "s@A@CB@@@ABCDBOFGe", {Written(47)}},
        WriteFrameCase{"BitGateClear", "01C2", 0, {}, "s@A@CB@@@ABCD@OHGe", {Written(15)}},
        WriteFrameCase{"ByteGateOnGroupA", "01AA", 90, {}, "s@A@AB@@@EJHDe", {}},
        WriteFrameCase{"Value255", "01AA", 255, {}, "s@A@AB@@@OOMOe", {}},
        WriteFrameCase{"GroupP", "01PA", 0x5A, {}, "s@AA@B@@@ABCD@O@@@@@@@@@@@@@@@@@@@@@@@@EJB@e", {}},
        // Only the gate's own bit changes, whatever non-zero value is given.
        WriteFrameCase{"BitGateValue2", "01C2", 2, {}, "s@A@CB@@@ABCDBOFGe", {Written(47)}},
        WriteFrameCase{"BitGateValue255", "01c2", 255, {}, "s@A@CB@@@ABCDBOFGe", {Written(47)}},
        WriteFrameCase{"TopBitOfGroupA", "01A0", 1, {}, "s@A@AB@@@IBDLe", {Written(0x92)}},
        // Masking: groups with a mask pair other than "@@" go back as 0.
        WriteFrameCase{"MaskOnGroupBWriteToC", "01CA", 90, {{1, 0xFF}}, "s@A@CB@@@AB@@EJG@e", {}},
        WriteFrameCase{"MaskAfterTheGateHasNoEffect", "01CA", 90, {{3, 0x01}, {15, 0x80}}, kWrite01CA90, {}},
        WriteFrameCase{"MaskOnGroupAWriteToA", "01AA", 90, {{0, 0x01}}, "s@A@AB@@@EJHDe", {}},
        WriteFrameCase{"MaskOnTheBitGatesOwnGroup", "01C2", 1, {{2, 0x01}}, "s@A@CB@@@ABCDB@GFe", {Written(0x20)}}),
    [](const testing::TestParamInfo<WriteFrameCase> &info) { return std::string(info.param.name); });

class GateWriteTest : public SimFixture {};

TEST_F(GateWriteTest, RefusedBeforeAnythingIsSent) {
    sim().SetStation(1, ExampleImage());
    const struct {
        const char *text;
        int16_t value;
        std::vector<LogLine> lines;
    } cases[] = {
        {"01EC", 5, {Operator("DOVED: Can't write to Compound Gates. Gate 01EC")}},
        // The compound test comes before the value test.
        {"01ec", 300, {Operator("DOVED: Can't write to Compound Gates. Gate 01EC")}},
        {"01CA", 256, {}},
        {"01CA", -1, {}},
        {"01CA", -32768, {}},
        {"01C2", 256, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.value));
        log_.Clear();
        TestGate gate = Single(c.text);
        gate.values[1] = c.value;
        EXPECT_EQ(Run(QOR_OP_SINGLE_WRITE, gate), QOR_REFUSED);
        EXPECT_EQ(log_.Lines(), c.lines);
    }
    EXPECT_TRUE(Received().empty());
}

TEST_F(GateWriteTest, InactiveContextRefusesSilently) {
    ASSERT_EQ(Start("nosuchtty9", 0), QOR_DONE);
    sim().SetStation(1, ExampleImage());
    TestGate single = Single("01CA");
    single.values[1] = 90;
    TestGate block = Block("01AA", 2);
    EXPECT_EQ(Run(QOR_OP_SINGLE_WRITE, single), QOR_REFUSED);
    EXPECT_EQ(Run(QOR_OP_BLOCK_WRITE, block), QOR_REFUSED);
    EXPECT_TRUE(log_.Lines().empty());
    EXPECT_TRUE(Received().empty());
}

TEST_F(GateWriteTest, ActiveWithoutPortFailsEveryAttempt) {
    ASSERT_EQ(Start("nosuchtty9", 1), QOR_FAILED);
    TestGate single = Single("01CA");
    single.values[1] = 90;
    EXPECT_EQ(Run(QOR_OP_SINGLE_WRITE, single), QOR_FAILED);
    EXPECT_EQ(log_.Lines(), std::vector(4, Diagnostic(kSendFailed)));
    log_.Clear();
    TestGate block = Block("01AA", 2);
    EXPECT_EQ(Run(QOR_OP_BLOCK_WRITE, block), QOR_FAILED);
    EXPECT_EQ(log_.Lines(), std::vector(3, Diagnostic(kSendFailed)));
}

// One SingleWrite through a sequence of station behaviours.
struct WriteScenario {
    const char *name;
    const char *text;
    std::vector<Response> queued;  // for the first requests, in order
    Response otherwise;            // for every later request
    int32_t result;
    std::vector<LogLine> lines;
    std::vector<std::string> frames;
};

// Replies of station 1 by their length (position of the closing "e").
constexpr const char *kNoStationPair = "s@@@@@@@e";          // 8
constexpr const char *kNoGroups = "s@@@@@@@A@@e";            // 11: the checksum pair only
constexpr const char *kGroupAOnly = "s@@@@@@@A@A@@e";        // 13: group A, 0x01
constexpr const char *kMaskAOnly = "s@@@@@@@A@@@@e";         // 13: group A, unmasked
constexpr const char *kMaskAB = "s@@@@@@@A@@@@@@e";          // 15: groups A and B, unmasked
constexpr const char *kDataAB = "s@@@@@@@AABCD@@e";          // 15: groups A and B of the image

class WriteScenarioTest : public SimFixture, public testing::WithParamInterface<WriteScenario> {};

TEST_P(WriteScenarioTest, ResultLogAndFrames) {
    const WriteScenario &c = GetParam();
    sim().SetStation(1, ExampleImage());
    for (const Response &response : c.queued) sim().QueueResponse(1, response);
    sim().SetDefaultResponse(1, c.otherwise);
    TestGate gate = Single(c.text);
    gate.values[1] = 90;
    if (c.text[3] != 'A') gate.values[1] = 1;
    EXPECT_EQ(Run(QOR_OP_SINGLE_WRITE, gate), c.result);
    EXPECT_EQ(log_.Lines(), c.lines);
    EXPECT_EQ(Received(), c.frames);
}

std::vector<Response> ShortDataEveryAttempt() {
    std::vector<Response> queue;
    for (int attempt = 0; attempt < 4; ++attempt) {
        queue.push_back(Response{});
        queue.push_back(Raw(kGroupAOnly));
    }
    return queue;
}

INSTANTIATE_TEST_SUITE_P(
    Writes, WriteScenarioTest,
    testing::Values(
        WriteScenario{"SilentStation", "01CA", {}, Silent(), QOR_FAILED, {}, Repeat({kMask1}, 4)},
        WriteScenario{"MaskFromAnotherStation", "01CA", {}, AnswerAs(9), QOR_REFUSED, std::vector(4, Diagnostic(kBadStation)),
                      Repeat({kMask1}, 4)},
        WriteScenario{"NeverAcknowledged", "01CA", {}, DropAck(), QOR_FAILED, {}, Repeat({kMask1, kData1, kWrite01CA90}, 4)},
        // Only the arrival of the acknowledgement counts.
        WriteScenario{"AcknowledgedAsAnotherStation", "01CA", {Response{}, Response{}, AnswerAs(9)}, Response{}, QOR_DONE, {},
                      {kMask1, kData1, kWrite01CA90}},
        WriteScenario{"DataFromAnotherStationThenSilence", "01CA", {Response{}, AnswerAs(9)}, Silent(), QOR_REFUSED,
                      {Diagnostic(kBadStation)}, {kMask1, kData1, kMask1, kMask1, kMask1}},
        WriteScenario{"DataMissingThenGood", "01CA", {Response{}, Silent()}, Response{}, QOR_DONE, {},
                      {kMask1, kData1, kMask1, kData1, kWrite01CA90}},
        WriteScenario{"MaskFromAnotherStationThenGood", "01CA", {AnswerAs(9)}, Response{}, QOR_DONE, {Diagnostic(kBadStation)},
                      {kMask1, kMask1, kData1, kWrite01CA90}},
        WriteScenario{"AcknowledgementMissingThenGood", "01CA", {Response{}, Response{}, DropAck()}, Response{}, QOR_DONE, {},
                      Repeat({kMask1, kData1, kWrite01CA90}, 2)},
        // Replies too short for the groups the frame takes: no write frame.
        WriteScenario{"DataReplyShort", "01CA", ShortDataEveryAttempt(), Silent(), QOR_REFUSED,
                      std::vector(4, Incorrect("01CA")), Repeat({kMask1, kData1}, 4)},
        WriteScenario{"MaskReplyShort", "01CA", {}, Raw(kGroupAOnly), QOR_REFUSED, std::vector(4, Incorrect("01CA")),
                      Repeat({kMask1}, 4)},
        WriteScenario{"MaskWithoutStationPair", "01AA", {}, Raw(kNoStationPair), QOR_REFUSED,
                      std::vector(4, Incorrect("01AA")), Repeat({kMask1}, 4)},
        WriteScenario{"ShortThenGood", "01CA", {Response{}, Raw(kGroupAOnly)}, Response{}, QOR_DONE, {Incorrect("01CA")},
                      {kMask1, kData1, kMask1, kData1, kWrite01CA90}},
        WriteScenario{"RepliesJustCoverTheGroupsTaken", "01CA", {Raw(kMaskAB), Raw(kDataAB)}, Response{}, QOR_DONE, {},
                      {kMask1, kData1, kWrite01CA90}},
        // A whole byte on group A takes nothing from the image.
        WriteScenario{"GroupAWithoutGroupPairs", "01AA", {Raw(kNoGroups), Raw(kNoGroups)}, Response{}, QOR_DONE, {},
                      {kMask1, kData1, "s@A@AB@@@EJHDe"}},
        // A bit gate on group A takes its own group's byte.
        WriteScenario{"BitGateOnAWithoutGroupPairs", "01A0", {}, Raw(kNoGroups), QOR_REFUSED,
                      std::vector(4, Incorrect("01A0")), Repeat({kMask1}, 4)},
        WriteScenario{"BitGateOnAWithGroupA", "01A0", {Raw(kMaskAOnly), Raw(kGroupAOnly)}, Response{}, QOR_DONE,
                      {Written(0x81)}, {kMask1, kData1, "s@A@AB@@@HAEMe"}}),
    [](const testing::TestParamInfo<WriteScenario> &info) { return std::string(info.param.name); });

struct BlockWriteCase {
    const char *name;
    const char *text;
    bool blockParse;
    int32_t count;
    std::vector<int16_t> elements;
    Response otherwise;
    int32_t result;
    std::vector<std::string> frames;
    std::vector<LogLine> lines;
};

class BlockWriteTest : public SimFixture, public testing::WithParamInterface<BlockWriteCase> {};

TEST_P(BlockWriteTest, FrameResultAndLog) {
    const BlockWriteCase &c = GetParam();
    sim().SetStation(1, ExampleImage());
    sim().SetDefaultResponse(1, c.otherwise);
    TestGate gate = c.blockParse ? Block(c.text, c.count > 16 ? 16 : c.count) : Single(c.text);
    gate.elementCount = c.count;
    std::copy(c.elements.begin(), c.elements.end(), gate.values.begin());
    const std::vector<int16_t> before = gate.values;
    EXPECT_EQ(Run(QOR_OP_BLOCK_WRITE, gate), c.result);
    EXPECT_EQ(Received(), c.frames);
    EXPECT_EQ(log_.Lines(), c.lines);
    // The host's values are only read.
    EXPECT_EQ(gate.values, before);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, BlockWriteTest,
    testing::Values(
        BlockWriteCase{"ThreeElements", "01AA", true, 3, {1, 255, 4660}, Response{}, QOR_DONE, {"s@A@CB@@@@AOOCDJHe"}, {}},
        BlockWriteCase{"CountZero", "01AA", true, 0, {}, Response{}, QOR_DONE, {"s@A@@B@@@MOe"}, {}},
        BlockWriteCase{"Element300", "01aa", true, 2, {300, 7}, Response{}, QOR_DONE, {"s@A@BB@@@BL@GJJe"}, {}},
        // The frame starts at group A whatever the gate's group.
        BlockWriteCase{"FromGroupAWhateverTheGroup", "01CA", false, 2, {5, 6}, Response{}, QOR_DONE, {"s@A@BB@@@@E@FMBe"}, {}},
        BlockWriteCase{"AnyReplyCounts", "01AA", true, 3, {1, 255, 4660}, AnswerAs(9), QOR_DONE, {"s@A@CB@@@@AOOCDJHe"}, {}},
        BlockWriteCase{"SilentStation", "01AA", true, 3, {1, 255, 4660}, Silent(), QOR_FAILED,
                       Repeat({"s@A@CB@@@@AOOCDJHe"}, 3), {}},
        BlockWriteCase{"BitGateSuffix", "01A3", false, 2, {1, 2}, Response{}, QOR_REFUSED, {},
                       {Operator("DOVED: No Block Write Support. gate = 01A3")}},
        BlockWriteCase{"CompoundSuffix", "01ec", false, 2, {1, 2}, Response{}, QOR_REFUSED, {},
                       {Operator("DOVED: No Block Write Support. gate = 01EC")}},
        BlockWriteCase{"CountAbove16", "01AA", true, 17, std::vector<int16_t>(17, 3), Response{}, QOR_REFUSED, {},
                       {Operator("DOVED: Illegal Block Write Count 17")}},
        BlockWriteCase{"NegativeCount", "01AA", true, -1, {1}, Response{}, QOR_REFUSED, {},
                       {Operator("DOVED: Illegal Block Write Count -1")}}),
    [](const testing::TestParamInfo<BlockWriteCase> &info) { return std::string(info.param.name); });

}  // namespace
