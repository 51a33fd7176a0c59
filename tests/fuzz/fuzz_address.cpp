// Fuzz target: the address parsers (through QorMain) and GateName, with
// arbitrary address texts, data types and element counts.
//
// Input: which parser, data type (4 bytes), element count (4 bytes), then
// the address text (the input's remaining bytes, read up to the first 0).
// A small first data-type or count byte picks a near value (data type 0 to
// 7, count -20 to 19), a large one takes the four bytes whole.
//
// The words, the result and the log lines are checked against the address
// rules written out again here; the text sits at the end of a heap block
// and GateName's buffer is a heap block of exactly 12 characters, so any
// read past the text or write past the name is caught.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "addressing/gate_address.h"
#include "entry/qor_interface.h"
#include "host/qorhost.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

constexpr size_t kHeader = 9;
constexpr uint32_t kUntouchedGroup = 0xC0FFEE;

std::vector<std::string> logged;

void Collect(int32_t level, const char *line, void *) {
    FUZZ_CHECK(level == QOR_LOG_OPERATOR, "level %d: %s", level, line);
    logged.emplace_back(line);
}

int32_t Word32(const uint8_t *bytes) {
    uint32_t value = 0;
    std::memcpy(&value, bytes, sizeof value);
    return static_cast<int32_t>(value);
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The text upper-cased, cut at the first space and at 11 characters.
std::string ExpectedName(const std::string &text) {
    std::string name;
    for (char c : text) {
        if (c == ' ' || name.size() == 11) break;
        name += Upper(c);
    }
    return name;
}

bool InSet(char c, const char *set) {
    for (const char *p = set; *p != '\0'; ++p) {
        if (*p == c) return true;
    }
    return false;
}

// Four to eight characters, the first four each from the set of its place.
bool ExpectedValid(const std::string &text) {
    if (text.size() < 4 || text.size() > 8) return false;
    const char *sets[4] = {"0123456", "0123456789", "ABCDEFGHIJKLMNOP", "01234567AC"};
    for (int i = 0; i < 4; ++i) {
        if (!InSet(Upper(text[static_cast<size_t>(i)]), sets[i])) return false;
    }
    return true;
}

struct Expected {
    int32_t result = QOR_REFUSED;
    uint32_t words[QOR_ADDRESS_WORDS] = {0, 0, kUntouchedGroup, QOR_NO_BIT, 16};
    std::vector<std::string> lines;
};

Expected ExpectSingle(const std::string &text, int32_t dataType) {
    Expected expected;
    if (!ExpectedValid(text)) return expected;
    const std::string name = ExpectedName(text);
    const char group = name[2];
    const char suffix = name[3];
    if (suffix == 'A') {
        if (dataType != QOR_TYPE_BYTE) return expected;
    } else if (suffix == 'C') {
        if (dataType != QOR_TYPE_COMPOUND) return expected;
        if (!InSet(group, "CEGIKMO")) {
            expected.lines.push_back("DOVED: Illegal Group in Compound Gate " + name);
            return expected;
        }
        expected.words[QOR_WORD_COMPOUND] = QOR_COMPOUND_FLAG;
    } else if (dataType != QOR_TYPE_BIT) {
        return expected;
    }
    const int station = (name[0] - '0') * 10 + (name[1] - '0');
    if (station < 1 || station > 63) return expected;
    expected.words[QOR_WORD_STATION] = static_cast<uint32_t>(station);
    expected.words[QOR_WORD_GROUP] = static_cast<uint32_t>(group - 'A');
    if (dataType == QOR_TYPE_BIT) expected.words[QOR_WORD_BIT] = static_cast<uint32_t>(7 - (suffix - '0'));
    expected.result = QOR_DONE;
    return expected;
}

Expected ExpectBlock(const std::string &text, int32_t count) {
    Expected expected;
    if (!ExpectedValid(text)) return expected;
    const std::string name = ExpectedName(text);
    const int station = (name[0] - '0') * 10 + (name[1] - '0');
    if (station < 1 || station > 63) return expected;
    expected.words[QOR_WORD_STATION] = static_cast<uint32_t>(station);
    expected.words[QOR_WORD_GROUP] = static_cast<uint32_t>(name[2] - 'A');
    if (name[3] != 'A') return expected;
    if (name[2] != 'A') {
        expected.lines.push_back("DOVED: Illegal Block Starting Address. Gate=" + name);
        return expected;
    }
    if (count > 16) return expected;
    expected.result = QOR_DONE;
    return expected;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qorhost_set_log_handler(&Collect, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader) return 0;
    const bool block = (data[0] & 1) != 0;
    const int32_t dataType = data[1] < 0xF0 ? data[1] % 8 : Word32(data + 1);
    const int32_t count = data[5] < 0xF0 ? data[5] % 40 - 20 : Word32(data + 5);

    // The text and its terminator fill a heap block exactly.
    const size_t textSize = size - kHeader;
    std::unique_ptr<char[]> text(new char[textSize + 1]);
    std::memcpy(text.get(), data + kHeader, textSize);
    text[textSize] = '\0';
    const std::string asText(text.get());

    // GateName of any text, however long, stays inside its 12 characters.
    std::unique_ptr<char[]> name(new char[kGateNameSize]);
    std::memset(name.get(), 0x55, kGateNameSize);
    GateName(text.get(), name.get());
    const size_t nameLength = strnlen(name.get(), kGateNameSize);
    FUZZ_CHECK(nameLength < kGateNameSize, "GateName left no terminator");
    FUZZ_CHECK(std::string(name.get()) == ExpectedName(asText), "GateName \"%s\", expected \"%s\"", name.get(),
               ExpectedName(asText).c_str());

    AddressParseRecord record{};
    record.text = text.get();
    record.reserved = 0xABCD;
    record.dataType = dataType;
    record.elementCount = count;
    for (uint32_t &word : record.words) word = 0xEEEEEEEE;
    record.words[QOR_WORD_GROUP] = kUntouchedGroup;

    logged.clear();
    QorRequest request{};
    request.operation = block ? QOR_OP_BLOCK_ADDRESS_PARSER : QOR_OP_SINGLE_ADDRESS_PARSER;
    request.data = &record;
    const int32_t result = QorMain(&request);

    const Expected expected = block ? ExpectBlock(asText, count) : ExpectSingle(asText, dataType);
    FUZZ_CHECK(result == expected.result, "\"%s\" type %d count %d: result %d, expected %d", text.get(), dataType,
               count, result, expected.result);
    for (int i = 0; i < QOR_ADDRESS_WORDS; ++i) {
        FUZZ_CHECK(record.words[i] == expected.words[i], "\"%s\": word %d is %u, expected %u", text.get(), i,
                   record.words[i], expected.words[i]);
    }
    FUZZ_CHECK(logged == expected.lines, "\"%s\": %zu lines, expected %zu (%s)", text.get(), logged.size(),
               expected.lines.size(), logged.empty() ? "" : logged.front().c_str());
    FUZZ_CHECK(record.text == text.get() && record.reserved == 0xABCD && record.dataType == dataType &&
                   record.elementCount == count,
               "the parser wrote outside the address words");
    FUZZ_CHECK(std::strcmp(text.get(), asText.c_str()) == 0, "the parser changed the text");
    return 0;
}
