// Gate address parsing through QorMain (operations 3 and 4) and GateName.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "addressing/gate_address.h"
#include "entry/qor_interface.h"
#include "host/qorhost.h"
#include "tests/support/log_capture.h"

namespace {

using Words = std::array<uint32_t, QOR_ADDRESS_WORDS>;

// Every word starts as this, so a word the parser did not write shows it.
constexpr uint32_t U = 0xDEADBEEFu;
constexpr uint32_t kReservedSentinel = 0xA5A5A5A5u;

enum Parser : uint32_t { Single = QOR_OP_SINGLE_ADDRESS_PARSER, Block = QOR_OP_BLOCK_ADDRESS_PARSER };

struct ParserCase {
    Parser parser;
    std::string text;  // may hold a tab; no NUL inside
    int32_t dataType;
    int32_t elementCount;
    int32_t result;
    Words words;
    std::optional<std::string> operatorLine;  // the one line at level 32, if any
};

// Texts in test names: control and 8-bit characters as \xNN, so that
// CTest's names stay on one line.
std::string Quoted(const std::string &text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            quoted += static_cast<char>(c);
        } else {
            const char *hex = "0123456789ABCDEF";
            quoted += "\\x";
            quoted += hex[c >> 4];
            quoted += hex[c & 0xF];
        }
    }
    return quoted + "\"";
}

void PrintTo(const ParserCase &c, std::ostream *os) {
    *os << (c.parser == Single ? "Single" : "Block") << "(" << Quoted(c.text) << ", type " << c.dataType << ", count "
        << c.elementCount << ")";
}

struct ParseOutcome {
    int32_t result;
    AddressParseRecord record;
    std::vector<LogLine> lines;
};

// The text lives in a heap block of exactly its size, so a read past its
// terminator is an out-of-bounds read under AddressSanitizer.
std::unique_ptr<char[]> ExactText(const std::string &text) {
    auto copy = std::make_unique<char[]>(text.size() + 1);
    std::memcpy(copy.get(), text.c_str(), text.size() + 1);
    return copy;
}

ParseOutcome Parse(uint32_t operation, const std::string &text, int32_t dataType, int32_t elementCount) {
    std::unique_ptr<char[]> exact = ExactText(text);
    AddressParseRecord record{};
    record.text = exact.get();
    record.reserved = kReservedSentinel;
    record.dataType = dataType;
    record.elementCount = elementCount;
    for (uint32_t &word : record.words) word = U;

    LogCapture log;
    QorRequest request{nullptr, operation, 0, 0, &record};
    ParseOutcome outcome{QorMain(&request), record, log.Lines()};
    // The text is read, never changed.
    EXPECT_EQ(std::string(exact.get()), text);
    return outcome;
}

Words WordsOf(const AddressParseRecord &record) {
    Words words;
    std::memcpy(words.data(), record.words, sizeof record.words);
    return words;
}

class AddressParser : public ::testing::TestWithParam<ParserCase> {};

TEST_P(AddressParser, ResultWordsAndLog) {
    const ParserCase &c = GetParam();
    ParseOutcome outcome = Parse(c.parser, c.text, c.dataType, c.elementCount);
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(WordsOf(outcome.record), c.words);
    std::vector<LogLine> expected;
    if (c.operatorLine) expected.push_back(LogLine{QOR_LOG_OPERATOR, *c.operatorLine});
    EXPECT_EQ(outcome.lines, expected);
    // The other fields of the record are the host's alone.
    EXPECT_EQ(outcome.record.reserved, kReservedSentinel);
    EXPECT_EQ(outcome.record.dataType, c.dataType);
    EXPECT_EQ(outcome.record.elementCount, c.elementCount);
}

// Presets only: what a refusal before any step writes leaves.
constexpr Words kPresets{0, 0, U, 255, 16};

const std::string kCompoundGroupLine = "DOVED: Illegal Group in Compound Gate ";
const std::string kBlockStartLine = "DOVED: Illegal Block Starting Address. Gate=";

// Words are station, compound flag, group, bit, fifth word.
INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, AddressParser,
    ::testing::Values(
        ParserCase{Single, "12C3", 6, 1, 0, {12, 0, 2, 4, 16}, {}},
        ParserCase{Single, "12c3", 6, 1, 0, {12, 0, 2, 4, 16}, {}},
        ParserCase{Single, "05EC", 1, 1, 0, {5, 67, 4, 255, 16}, {}},
        ParserCase{Single, "63pa", 0, 1, 0, {63, 0, 15, 255, 16}, {}},
        ParserCase{Single, "01A0 T1", 6, 1, 0, {1, 0, 0, 7, 16}, {}},
        ParserCase{Single, "01DC", 1, 1, 1, kPresets, kCompoundGroupLine + "01DC"},
        ParserCase{Single, "01CC", 0, 1, 1, kPresets, {}},
        ParserCase{Single, "00CC", 1, 1, 1, {0, 67, U, 255, 16}, {}},
        ParserCase{Block, "01AA", 3, 16, 0, {1, 0, 0, 255, 16}, {}},
        ParserCase{Block, "01AA", 3, 17, 1, {1, 0, 0, 255, 16}, {}},
        ParserCase{Block, "07CA", 3, 4, 1, {7, 0, 2, 255, 16}, kBlockStartLine + "07CA"},
        ParserCase{Block, "07A3", 3, 4, 1, {7, 0, 0, 255, 16}, {}}));

// Length: 8 characters is the longest text; shorter than the four address
// positions is refused without reading past the terminator.
INSTANTIATE_TEST_SUITE_P(
    Length, AddressParser,
    ::testing::Values(ParserCase{Single, "01AA XYZ", 0, 1, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Single, "01AAXYZW", 0, 1, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Single, "01AA XYZW", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01DC XYZW", 1, 1, 1, kPresets, {}},
                      ParserCase{Block, "01AA XYZ", 0, 4, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "07CAXYZW0", 0, 4, 1, kPresets, {}},
                      ParserCase{Single, "01AA0123456789012345678901234567890123", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "0", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01A", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01D", 1, 1, 1, kPresets, {}},
                      ParserCase{Block, "", 0, 4, 1, kPresets, {}},
                      ParserCase{Block, "0", 0, 4, 1, kPresets, {}},
                      ParserCase{Block, "01A", 0, 4, 1, kPresets, {}}));

// Each position against its set, case, and the station range.
INSTANTIATE_TEST_SUITE_P(
    Positions, AddressParser,
    ::testing::Values(ParserCase{Single, "01ca", 0, 1, 0, {1, 0, 2, 255, 16}, {}},
                      ParserCase{Single, "01CA", 0, 1, 0, {1, 0, 2, 255, 16}, {}},
                      ParserCase{Single, "70AA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "7AAA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "0XAA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01QA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01qa", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01@A", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01A8", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01AB", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01Ab", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "00AA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "64AA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "69AA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "63PA", 0, 1, 0, {63, 0, 15, 255, 16}, {}},
                      ParserCase{Single, "60BA", 0, 1, 0, {60, 0, 1, 255, 16}, {}},
                      ParserCase{Single, "39AA", 0, 1, 0, {39, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "70AA", 0, 4, 1, kPresets, {}},
                      ParserCase{Block, "00AA", 0, 4, 1, kPresets, {}},
                      ParserCase{Block, "64AA", 0, 4, 1, kPresets, {}},
                      ParserCase{Block, "00BA", 0, 4, 1, kPresets, {}},
                      ParserCase{Block, "01A8", 0, 4, 1, kPresets, {}},
                      ParserCase{Block, "63aa", 0, 4, 0, {63, 0, 0, 255, 16}, {}}));

// A space among the four address characters refuses; after them it only
// ends the GateName, which the log lines show.
INSTANTIATE_TEST_SUITE_P(
    Spaces, AddressParser,
    ::testing::Values(ParserCase{Single, " 1AA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "0 AA", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01 A", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01A ", 0, 1, 1, kPresets, {}},
                      ParserCase{Block, "01 A", 0, 4, 1, kPresets, {}},
                      ParserCase{Single, "01AA X", 0, 1, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Single, "01dc rem", 1, 1, 1, kPresets, kCompoundGroupLine + "01DC"},
                      ParserCase{Single, "01dcrem", 1, 1, 1, kPresets, kCompoundGroupLine + "01DCREM"},
                      ParserCase{Single, "01dc\trem", 1, 1, 1, kPresets, kCompoundGroupLine + "01DC\tREM"},
                      ParserCase{Block, "07ca x y", 0, 4, 1, {7, 0, 2, 255, 16}, kBlockStartLine + "07CA"},
                      ParserCase{Block, "07cax y", 0, 4, 1, {7, 0, 2, 255, 16}, kBlockStartLine + "07CAX"}));

// Suffix against data type, compound groups, and the order of the tests:
// data type, then compound group, then station.
INSTANTIATE_TEST_SUITE_P(
    SingleKinds, AddressParser,
    ::testing::Values(ParserCase{Single, "01AA", 1, 1, 1, kPresets, {}},
                      ParserCase{Single, "01AA", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01A3", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01A3", 1, 1, 1, kPresets, {}},
                      ParserCase{Single, "01A3", 2, 1, 1, kPresets, {}},
                      ParserCase{Single, "01CC", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01DC", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01DC", 0, 1, 1, kPresets, {}},
                      ParserCase{Single, "01AC", 1, 1, 1, kPresets, kCompoundGroupLine + "01AC"},
                      ParserCase{Single, "01PC", 1, 1, 1, kPresets, kCompoundGroupLine + "01PC"},
                      ParserCase{Single, "01pc", 1, 1, 1, kPresets, kCompoundGroupLine + "01PC"},
                      ParserCase{Single, "01BC", 1, 1, 1, kPresets, kCompoundGroupLine + "01BC"},
                      ParserCase{Single, "00DC", 1, 1, 1, kPresets, kCompoundGroupLine + "00DC"},
                      ParserCase{Single, "64CC", 1, 1, 1, {0, 67, U, 255, 16}, {}},
                      ParserCase{Single, "01CC", 1, 1, 0, {1, 67, 2, 255, 16}, {}},
                      ParserCase{Single, "01GC", 1, 1, 0, {1, 67, 6, 255, 16}, {}},
                      ParserCase{Single, "01oc", 1, 1, 0, {1, 67, 14, 255, 16}, {}},
                      ParserCase{Single, "01A0", 6, 1, 0, {1, 0, 0, 7, 16}, {}},
                      ParserCase{Single, "01A7", 6, 1, 0, {1, 0, 0, 0, 16}, {}},
                      ParserCase{Single, "23P5", 6, 1, 0, {23, 0, 15, 2, 16}, {}},
                      ParserCase{Single, "00A0", 6, 1, 1, kPresets, {}},
                      ParserCase{Single, "01AA", 0, 500, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Single, "01AA", 0, -1, 0, {1, 0, 0, 255, 16}, {}}));

// The block parser: station first, then suffix, then starting group, then
// the upper limit of the count; the data type is not read.
INSTANTIATE_TEST_SUITE_P(
    BlockRules, AddressParser,
    ::testing::Values(ParserCase{Block, "01AA", 0, 0, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "01AA", 0, -5, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "01AA", 0, 1, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "01AA", 0, INT32_MIN, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "01AA", 6, 4, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "01AA", 1, 4, 0, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "01AA", 0, 500, 1, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "01AC", 1, 4, 1, {1, 0, 0, 255, 16}, {}},
                      ParserCase{Block, "07C3", 6, 4, 1, {7, 0, 2, 255, 16}, {}},
                      ParserCase{Block, "07PA", 0, 4, 1, {7, 0, 15, 255, 16}, kBlockStartLine + "07PA"},
                      ParserCase{Block, "07CA", 0, 17, 1, {7, 0, 2, 255, 16}, kBlockStartLine + "07CA"}));

// GateName on its own: upper-cases "a" to "z" and nothing else, ends at the
// first space, keeps other white space.
struct NameCase {
    std::string text;
    std::string name;
};

void PrintTo(const NameCase &c, std::ostream *os) { *os << Quoted(c.text); }

class GateNameOf : public ::testing::TestWithParam<NameCase> {};

// The name is written into the middle of a larger area, so any byte written
// outside its 12 shows.
constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0x5A;

struct NameArea {
    unsigned char bytes[kGuard + kGateNameSize + kGuard];
    NameArea() { std::memset(bytes, kGuardByte, sizeof bytes); }
    char *Name() { return reinterpret_cast<char *>(bytes + kGuard); }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (bytes[i] != kGuardByte || bytes[kGuard + kGateNameSize + i] != kGuardByte) return false;
        }
        return true;
    }
};

TEST_P(GateNameOf, NormalisesAndStaysInsideItsBuffer) {
    const NameCase &c = GetParam();
    std::unique_ptr<char[]> text = ExactText(c.text);
    NameArea area;
    GateName(text.get(), area.Name());
    EXPECT_EQ(std::string(area.Name()), c.name);
    EXPECT_TRUE(area.GuardsIntact());
    EXPECT_EQ(std::string(text.get()), c.text);
}

INSTANTIATE_TEST_SUITE_P(Texts, GateNameOf,
                         ::testing::Values(NameCase{"01ca rem", "01CA"}, NameCase{"12c3", "12C3"},
                                           NameCase{"01AAXY", "01AAXY"}, NameCase{"01aa\tx", "01AA\tX"},
                                           NameCase{"01aa\nx", "01AA\nX"}, NameCase{"01AA  x", "01AA"},
                                           NameCase{" 01AA", ""}, NameCase{"", ""}, NameCase{"0", "0"},
                                           NameCase{"`az{@AZ[", "`AZ{@AZ["}, NameCase{"01aa\xe4\xb5", "01AA\xe4\xb5"},
                                           NameCase{"abcdefghijk", "ABCDEFGHIJK"},
                                           NameCase{"abcdefghijkl", "ABCDEFGHIJK"},
                                           NameCase{"0123456789abcdefghijklmnopqrstuvwxyz0123", "0123456789A"},
                                           NameCase{"0123456789 abcdef", "0123456789"}));

// A name that fills the buffer is still terminated inside it, and the text
// is read no further than the eleven characters it needs: here the text has
// no terminator at all, which AddressSanitizer would catch.
TEST(GateNameReads, NoFurtherThanItNeeds) {
    const char letters[] = "abcdefghijk";
    auto unterminated = std::make_unique<char[]>(kGateNameSize - 1);
    std::memcpy(unterminated.get(), letters, kGateNameSize - 1);
    NameArea area;
    GateName(unterminated.get(), area.Name());
    EXPECT_EQ(std::string(area.Name()), "ABCDEFGHIJK");
    EXPECT_TRUE(area.GuardsIntact());

    // Nor past the first space.
    const char spaced[] = {'0', '1', 'a', 'a', ' '};
    auto shortText = std::make_unique<char[]>(sizeof spaced);
    std::memcpy(shortText.get(), spaced, sizeof spaced);
    NameArea second;
    GateName(shortText.get(), second.Name());
    EXPECT_EQ(std::string(second.Name()), "01AA");
    EXPECT_TRUE(second.GuardsIntact());
}

}  // namespace
