// The OPTOLINK frame codec on its own: AtHex pairs, the checksum and the
// request builders, byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "host/qorhost.h"
#include "optolink/optolink_frames.h"
#include "tests/support/log_capture.h"

namespace {

std::string Encode(uint32_t value) {
    char pair[2];
    AtHexEncode(value, pair);
    return std::string(pair, 2);
}

std::string Checksum(const std::string &chars) {
    char pair[2];
    FrameChecksum(chars.data(), static_cast<uint16_t>(chars.size()), pair);
    return std::string(pair, 2);
}

// A request buffer with room to spare, filled with a mark so that a builder
// writing past its frame shows up.
struct FrameBuffer {
    static constexpr size_t kSize = 64;
    std::array<char, kSize> chars;
    FrameBuffer() { chars.fill('#'); }
    std::string Frame(int length) const { return std::string(chars.data(), static_cast<size_t>(length)); }
    bool UntouchedFrom(int length) const {
        for (size_t i = static_cast<size_t>(length); i < kSize; ++i)
            if (chars[i] != '#') return false;
        return true;
    }
};

GateRecord Gate(uint32_t station, uint32_t group, uint32_t bit, int16_t *values, int32_t count = 1) {
    GateRecord gate{};
    gate.text = "";
    gate.words[QOR_WORD_STATION] = station;
    gate.words[QOR_WORD_COMPOUND] = 0;
    gate.words[QOR_WORD_GROUP] = group;
    gate.words[QOR_WORD_BIT] = bit;
    gate.words[QOR_WORD_FIFTH] = 16;
    gate.elementCount = count;
    gate.values = values;
    return gate;
}

TEST(AtHexTest, EncodesTheLowEightBits) {
    const struct {
        uint32_t value;
        const char *pair;
    } cases[] = {{0, "@@"}, {0x20, "B@"}, {0x5A, "EJ"}, {63, "CO"}, {255, "OO"}, {300, "BL"}, {0xFFFFFF01u, "@A"}};
    for (const auto &c : cases) EXPECT_EQ(Encode(c.value), c.pair) << c.value;
}

TEST(AtHexTest, DecodesTheLowFourBitsOfEachCharacter) {
    const struct {
        const char *pair;
        int byte;
    } cases[] = {{"EJ", 0x5A}, {"0J", 0x0A}, {"@@", 0}, {"OO", 255}, {"B@", 0x20}};
    for (const auto &c : cases) EXPECT_EQ(AtHexDecode(c.pair), c.byte) << c.pair;
}

TEST(FrameChecksumTest, MakesTheBytesAddUpToZero) {
    EXPECT_EQ(Checksum("@A@@B@@@"), "MO");
    // 0x01 + 0x01 + 0x20 + 0xDE is 0x100.
    EXPECT_EQ(Checksum("@A@AB@@@MN"), "@@");
    EXPECT_EQ(Checksum(""), "@@");
    // Carries beyond one byte wrap: 0xFF + 0xFF + 0x03 = 0x201.
    EXPECT_EQ(Checksum("OOOO@C"), "OO");
}

TEST(BuildQueryTest, BuildsMaskAndDataQueries) {
    const struct {
        uint32_t station;
        int32_t kind;
        const char *frame;
    } cases[] = {
        {1, kMaskQuery, "s@A@@@@@@OOe"},
        {1, kDataQuery, "s@A@@B@@@MOe"},
        {63, kMaskQuery, "sCO@@@@@@LAe"},
        {63, kDataQuery, "sCO@@B@@@JAe"},
        {5, kDataQuery, "s@E@@B@@@MKe"},
        // Any kind other than 100 is a DataQuery.
        {1, 0, "s@A@@B@@@MOe"},
    };
    for (const auto &c : cases) {
        FrameBuffer buffer;
        const int length = BuildQuery(c.station, c.kind, buffer.chars.data());
        ASSERT_EQ(length, kQueryLength);
        EXPECT_EQ(buffer.Frame(length), c.frame) << c.station << " kind " << c.kind;
        EXPECT_TRUE(buffer.UntouchedFrom(length));
    }
}

// The station's answer to a DataQuery: A 0x12, B 0x34, C 0x0F, D to P 0.
constexpr const char *kImageC = "s@@@@@@@AABCD@O@@@@@@@@@@@@@@@@@@@@@@@@@@JJ";
// Group k holds k + 1, A to P.
constexpr const char *kImageAll = "s@@@@@@@A@A@B@C@D@E@F@G@H@I@J@K@L@M@N@OA@GG";
// Only the header: a whole-byte gate on group A takes nothing from the image.
constexpr const char *kImageNone = "s@@@@@@@AZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ";

struct WriteFrameCase {
    const char *name;
    uint32_t group;
    uint32_t bit;
    int16_t value;
    const char *image;
    const char *frame;
    int loggedByte;  // -1: no log line
};

class BuildWriteFrameTest : public testing::TestWithParam<WriteFrameCase> {};

TEST_P(BuildWriteFrameTest, BuildsTheFrameFromTheImage) {
    const WriteFrameCase &c = GetParam();
    LogCapture log;
    int16_t values[2] = {-7, c.value};
    GateRecord gate = Gate(1, c.group, c.bit, values);
    FrameBuffer buffer;
    const int length = BuildWriteFrame(&gate, c.image, buffer.chars.data());
    ASSERT_EQ(length, static_cast<int>(std::strlen(c.frame)));
    EXPECT_EQ(buffer.Frame(length), c.frame);
    EXPECT_TRUE(buffer.UntouchedFrom(length));
    EXPECT_EQ(length, 14 + 2 * static_cast<int>(c.group));
    std::vector<LogLine> expected;
    if (c.loggedByte >= 0)
        expected.push_back({QOR_LOG_DIAGNOSTIC, "DOVED: Digital Value to be written = " + std::to_string(c.loggedByte)});
    EXPECT_EQ(log.Lines(), expected);
    // The value buffer is only read.
    EXPECT_EQ(values[0], -7);
    EXPECT_EQ(values[1], c.value);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BuildWriteFrameTest,
    testing::Values(
        WriteFrameCase{"ByteGate01CA", 2, QOR_NO_BIT, 90, kImageC, "s@A@CB@@@ABCDEJCLe", -1},
        WriteFrameCase{"BitGate01C2Set", 2, 5, 1, kImageC, "s@A@CB@@@ABCDBOFGe", 47},
        WriteFrameCase{"BitGate01C2Clear", 2, 5, 0, kImageC, "s@A@CB@@@ABCD@OHGe", 15},
        WriteFrameCase{"ByteGate01AA", 0, QOR_NO_BIT, 90, kImageNone, "s@A@AB@@@EJHDe", -1},
        WriteFrameCase{"ChecksumZero", 0, QOR_NO_BIT, 222, kImageNone, "s@A@AB@@@MN@@e", -1},
        WriteFrameCase{"GroupP", 15, QOR_NO_BIT, 0x5A, kImageAll, "s@AA@B@@@@A@B@C@D@E@F@G@H@I@J@K@L@M@N@OEJOMe", -1},
        WriteFrameCase{"TopBit01C0", 2, 7, 1, kImageC, "s@A@CB@@@ABCDHO@Ge", 0x8F},
        WriteFrameCase{"LowBit01C7", 2, 0, 0, kImageC, "s@A@CB@@@ABCD@NHHe", 0x0E},
        // A value above 1 sets the gate's own bit and nothing else.
        WriteFrameCase{"BitGateValue2", 2, 5, 2, kImageC, "s@A@CB@@@ABCDBOFGe", 47},
        WriteFrameCase{"BitGateValue255", 2, 5, 255, kImageC, "s@A@CB@@@ABCDBOFGe", 47},
        // A bit gate on group A reads its own group from the image.
        WriteFrameCase{"BitGateGroupA", 0, 0, 1, kImageC, "s@A@AB@@@ACLKe", 0x13}),
    [](const testing::TestParamInfo<WriteFrameCase> &info) { return std::string(info.param.name); });

struct BlockFrameCase {
    const char *name;
    uint32_t station;
    std::vector<int16_t> elements;
    const char *frame;
};

class BuildBlockWriteFrameTest : public testing::TestWithParam<BlockFrameCase> {};

TEST_P(BuildBlockWriteFrameTest, SendsTheLowBytesFromGroupA) {
    const BlockFrameCase &c = GetParam();
    std::vector<int16_t> values = c.elements;
    values.push_back(0x5A);  // beyond the count: not sent
    const std::vector<int16_t> before = values;
    // The gate's group number plays no part: the frame starts at group A.
    GateRecord gate = Gate(c.station, 9, QOR_NO_BIT, values.data(), static_cast<int32_t>(c.elements.size()));
    FrameBuffer buffer;
    const int length = BuildBlockWriteFrame(&gate, buffer.chars.data());
    ASSERT_EQ(length, 12 + 2 * static_cast<int>(c.elements.size()));
    EXPECT_EQ(buffer.Frame(length), c.frame);
    EXPECT_TRUE(buffer.UntouchedFrom(length));
    EXPECT_EQ(values, before);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BuildBlockWriteFrameTest,
    testing::Values(
        BlockFrameCase{"ThreeElements", 1, {1, 255, 4660}, "s@A@CB@@@@AOOCDJHe"},
        BlockFrameCase{"CountZero", 1, {}, "s@A@@B@@@MOe"},
        BlockFrameCase{"Element300", 2, {300, 7}, "s@B@BB@@@BL@GJIe"},
        BlockFrameCase{"SixteenGroups",
                       1,
                       {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F},
                       "s@AA@B@@@A@AAABACADAEAFAGAHAIAJAKALAMANAOEGe"}),
    [](const testing::TestParamInfo<BlockFrameCase> &info) { return std::string(info.param.name); });

TEST(ReplyLayoutTest, StationAndGroupPositions) {
    // "@E" at positions 7 and 8: station 5.
    const char *reply = "s@@@@@@@E@@@@EJ@@OBCG@@@@@@@@@@@@@@@@@@@@GH";
    EXPECT_EQ(ReplyStation(reply), 5);
    // Outside the alphabet the station number is not reduced to a byte: "O0" is 15 x 16 - 16.
    EXPECT_EQ(ReplyStation("s@@@@@@O0"), 224);
    const struct {
        int length;
        int64_t group;
        bool holds;
    } cases[] = {
        {8, -1, false}, {9, -1, true},  {11, 0, false}, {13, 0, true},  {16, 2, false},
        {17, 2, true},  {43, 15, true}, {42, 15, false}, {99, 16, true}, {99, 50, false},
    };
    for (const auto &c : cases) EXPECT_EQ(ReplyHoldsGroup(c.length, c.group), c.holds) << c.length << " " << c.group;
}

}  // namespace
