// Fuzz target: whatever a station sends while the driver reads or writes a
// gate. The first bytes of an input choose the operation and the gate, the
// rest is what arrives on the line; the request goes through QorMain into
// the real transactions on a real context, with the line double as port.
//
// Input: op, kind, station, group, bit, count, value low, value high, then
// the station's bytes.
//   op    % 4: SingleRead, BlockRead, SingleWrite, BlockWrite
//   kind  % 4: byte gate, bit gate, compound gate, block; bit 0x10 writes
//              the address in lower case, 0x20 adds a " X1" tail, 0x40 a "Z"
//   count: a block's count from -4 to 21; a single gate's 1, or with bit
//          0x80 set -4 to 27; 0xFE and 0xFF the extreme counts
//   value: element 1 of a single write (0 to 255 unless the high byte has
//          bit 0x80, then the whole 16 bits), the base of a block's values
//
// Every input is checked against the frame layout written out again in
// frame_model.h: the frames sent, the result, the values delivered, the
// bytes taken from the line, and that nothing outside the elements the
// operation may write changes.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "entry/qor_interface.h"
#include "host/qorhost.h"
#include "tests/fuzz/frame_model.h"
#include "tests/fuzz/fuzz_check.h"
#include "tests/fuzz/line_double.h"
#include "tests/support/qor_call.h"

namespace {

using frame_model::Checksum;
using frame_model::GroupSum;
using frame_model::Holds;
using frame_model::Nibble;
using frame_model::Pair;
using frame_model::Receive;
using frame_model::ReplyStation;
using frame_model::Station;

constexpr size_t kHeader = 8;
constexpr size_t kLongestRequest = 44;
constexpr int kGuards = 4;
constexpr int kMostElements = 40;
constexpr int16_t kGuard = 0x6B6B;
// Never a value a read delivers (bytes, bits, BCD from -1999 to 1999).
int16_t Sentinel(int i) { return static_cast<int16_t>(0x3C00 + i); }

enum Op { kSingleRead, kBlockRead, kSingleWrite, kBlockWrite };
enum Kind { kByte, kBit, kCompound, kBlock };
constexpr uint32_t kOpCodes[] = {QOR_OP_SINGLE_READ, QOR_OP_BLOCK_READ, QOR_OP_SINGLE_WRITE, QOR_OP_BLOCK_WRITE};

struct Logged {
    int32_t level;
    std::string text;
};
std::vector<Logged> logged;

void Collect(int32_t level, const char *line, void *) {
    const std::string text = line;
    FUZZ_CHECK(level == QOR_LOG_OPERATOR || level == QOR_LOG_DIAGNOSTIC, "level %d: %s", level, line);
    FUZZ_CHECK(text.rfind("DOVED: ", 0) == 0 || text.rfind("DOVED. ", 0) == 0 ||
                   text == "DOVED:SEND(). Unable to send message.",
               "line \"%s\"", line);
    logged.push_back(Logged{level, text});
}

// The gate an input asks for, as the host keeps it.
struct Gate {
    Op op;
    Kind kind;
    int station;
    int group;
    int bitSuffix;  // 0 to 7
    int32_t count;
    int16_t value;
    std::string text;
};

Gate GateOf(const uint8_t *header) {
    Gate gate{};
    gate.op = static_cast<Op>(header[0] % 4);
    gate.kind = static_cast<Kind>(header[1] % 4);
    gate.station = 1 + header[2] % 63;
    gate.group = gate.kind == kCompound ? 2 + 2 * (header[3] % 7) : gate.kind == kBlock ? 0 : header[3] % 16;
    gate.bitSuffix = header[4] % 8;
    const uint8_t count = header[5];
    if (count == 0xFF) {
        gate.count = INT32_MIN;
    } else if (count == 0xFE) {
        gate.count = INT32_MAX;
    } else if (gate.kind == kBlock) {
        gate.count = count % 26 - 4;
    } else {
        gate.count = (count & 0x80) != 0 ? (count & 0x1F) - 4 : 1;
    }
    gate.value = (header[7] & 0x80) != 0 ? static_cast<int16_t>(header[6] | header[7] << 8) : header[6];

    const char suffix = gate.kind == kBit ? static_cast<char>('0' + gate.bitSuffix)
                        : gate.kind == kCompound ? 'C' : 'A';
    char text[16];
    std::snprintf(text, sizeof text, "%02d%c%c", gate.station, 'A' + gate.group, suffix);
    gate.text = text;
    if ((header[1] & 0x10) != 0) {
        for (char &c : gate.text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    if ((header[1] & 0x20) != 0) gate.text += " X1";
    if ((header[1] & 0x40) != 0) gate.text += "Z";
    return gate;
}

// The name the driver logs: upper case, cut at the first space.
std::string NameOf(const std::string &text) {
    std::string name;
    for (char c : text) {
        if (c == ' ') break;
        name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return name;
}

// What the driver must do, worked out from the frame layout alone.
struct Expected {
    int32_t result = QOR_FAILED;
    std::vector<std::string> frames;
    bool decoded = false;
    std::vector<std::pair<int, int16_t>> values;  // element, value
};

// Decides a read's reply the way the gate's kind reads it.
bool AcceptRead(const Gate &gate, const uint32_t *words, const std::string &reply, int length,
                std::vector<std::pair<int, int16_t>> *values) {
    if (length < 9) return false;
    if ((Nibble(reply[5]) & 8) != 0) return false;
    if (ReplyStation(reply) != gate.station) return false;
    const int g = static_cast<int>(words[QOR_WORD_GROUP]);
    const char suffix = NameOf(gate.text)[3];
    if (gate.count == 1) {
        if (suffix == 'C') {
            if (!Holds(length, g + 1)) return false;
            const unsigned flags = Nibble(reply[9 + 2 * g]);
            const unsigned hundreds = Nibble(reply[10 + 2 * g]);
            const unsigned tens = Nibble(reply[11 + 2 * g]);
            const unsigned units = Nibble(reply[12 + 2 * g]);
            if ((flags & 8) == 0 || (flags & 4) == 0) return false;
            if (hundreds > 9 || tens > 9 || units > 9) return false;
            const int magnitude = static_cast<int>(1000 * (flags & 1) + 100 * hundreds + 10 * tens + units);
            values->push_back({1, static_cast<int16_t>((flags & 2) != 0 ? -magnitude : magnitude)});
            return true;
        }
        if (!Holds(length, g)) return false;
        if (suffix == 'A') {
            values->push_back({1, static_cast<int16_t>(GroupSum(reply, g) & 0xFF)});
        } else {
            values->push_back({1, static_cast<int16_t>((GroupSum(reply, g) >> words[QOR_WORD_BIT]) & 1)});
        }
        return true;
    }
    if (gate.count <= 0) return true;
    if (!Holds(length, g + gate.count - 1)) return false;
    for (int i = 0; i < gate.count; ++i) values->push_back({i, static_cast<int16_t>(GroupSum(reply, g + i) & 0xFF)});
    return true;
}

Expected ExpectRead(const Gate &gate, const uint32_t *words, Station &line) {
    Expected expected;
    const int64_t g = words[QOR_WORD_GROUP];
    // A block reaching past group P: refused before anything is sent.
    if (gate.count > 1 && g + gate.count > 16) {
        expected.result = QOR_REFUSED;
        return expected;
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        expected.frames.push_back(frame_model::DataQuery(static_cast<unsigned>(gate.station)));
        std::string reply;
        const int length = Receive(line, &reply);
        if (length == 0) continue;
        std::vector<std::pair<int, int16_t>> values;
        if (AcceptRead(gate, words, reply, length, &values)) {
            expected.result = QOR_DONE;
            expected.decoded = true;
            expected.values = values;
            return expected;
        }
        expected.result = QOR_REFUSED;
    }
    return expected;
}

// A mask or data reply a single write may build on: from the gate's
// station, holding every group the write frame takes from it.
bool UsableForWrite(const Gate &gate, const std::string &reply, int length, int64_t lastTaken) {
    return length >= 9 && ReplyStation(reply) == gate.station && Holds(length, lastTaken);
}

Expected ExpectSingleWrite(const Gate &gate, const uint32_t *words, int16_t element1, Station &line) {
    Expected expected;
    const unsigned value = static_cast<uint16_t>(element1);
    if (words[QOR_WORD_COMPOUND] == QOR_COMPOUND_FLAG || value > 255) {
        expected.result = QOR_REFUSED;
        return expected;
    }
    const int g = static_cast<int>(words[QOR_WORD_GROUP]);
    const uint32_t bit = words[QOR_WORD_BIT];
    const int64_t lastTaken = bit == QOR_NO_BIT ? g - 1 : g;
    const unsigned station = static_cast<unsigned>(gate.station);
    for (int attempt = 0; attempt < 4; ++attempt) {
        expected.frames.push_back(frame_model::MaskQuery(station));
        std::string mask;
        const int maskLength = Receive(line, &mask);
        if (maskLength == 0) continue;
        if (!UsableForWrite(gate, mask, maskLength, lastTaken)) {
            expected.result = QOR_REFUSED;
            continue;
        }
        expected.frames.push_back(frame_model::DataQuery(station));
        std::string image;
        const int dataLength = Receive(line, &image);
        if (dataLength == 0) continue;
        if (!UsableForWrite(gate, image, dataLength, lastTaken)) {
            expected.result = QOR_REFUSED;
            continue;
        }
        // A group whose mask pair is not "@@" goes back cleared.
        for (int64_t j = 0; j <= lastTaken; ++j) {
            const size_t at = static_cast<size_t>(9 + 2 * j);
            if (mask.compare(at, 2, "@@") != 0) image.replace(at, 2, "@@");
        }
        std::string body = Pair(station) + Pair(static_cast<unsigned>(g + 1)) + "B@@@";
        body += image.substr(9, static_cast<size_t>(2 * g));
        if (bit == QOR_NO_BIT) {
            body += Pair(value);
        } else {
            const unsigned current = (16 * Nibble(image[9 + 2 * g]) + Nibble(image[10 + 2 * g])) & 0xFF;
            const unsigned own = 1u << bit;
            const unsigned merged = value != 0 ? (current | own) : (current & ~own & 0xFF);
            body += Pair(merged);
        }
        expected.frames.push_back("s" + body + Checksum(body) + "e");
        std::string acknowledgement;
        if (Receive(line, &acknowledgement) == 0) continue;
        expected.result = QOR_DONE;
        return expected;
    }
    return expected;
}

Expected ExpectBlockWrite(const Gate &gate, const int16_t *values, Station &line) {
    Expected expected;
    if (NameOf(gate.text)[3] != 'A' || gate.count > 16 || gate.count < 0) {
        expected.result = QOR_REFUSED;
        return expected;
    }
    std::string body = Pair(static_cast<unsigned>(gate.station)) + Pair(static_cast<unsigned>(gate.count)) + "B@@@";
    for (int i = 0; i < gate.count; ++i) body += Pair(static_cast<uint16_t>(values[i]) & 0xFFu);
    const std::string frame = "s" + body + Checksum(body) + "e";
    for (int attempt = 0; attempt < 3; ++attempt) {
        expected.frames.push_back(frame);
        std::string reply;
        if (Receive(line, &reply) == 0) continue;
        expected.result = QOR_DONE;
        return expected;
    }
    return expected;
}

std::string Printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        }
    }
    return out;
}

std::string FrameList(const std::vector<std::string> &frames) {
    std::string list;
    for (const std::string &frame : frames) list += " \"" + Printable(frame) + "\"";
    return list;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    qorhost_set_log_handler(&Collect, nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kHeader) return 0;
    const Gate gate = GateOf(data);
    logged.clear();

    // The station's bytes at the very end of a heap block of their own.
    const size_t lineSize = size - kHeader;
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[lineSize == 0 ? 1 : lineSize]);
    if (lineSize != 0) std::memcpy(bytes.get(), data + kHeader, lineSize);
    fuzz_line::Reset(bytes.get(), lineSize);

    alignas(8) static unsigned char contextBlock[QOR_CONTEXT_SIZE];
    std::memset(contextBlock, 0xA5, sizeof contextBlock);
    StartParams start{};
    std::memcpy(start.portName, "FUZZ", 5);
    start.enabled = 1;
    start.replyTimeout = 10;
    start.line = LineSettings{9600, 8, 0, 0};
    FUZZ_CHECK(QorCall(contextBlock, QOR_OP_COLD_START, &start) == QOR_DONE, "ColdStart on the line");
    // Reads and writes only read the context.
    unsigned char startedContext[QOR_CONTEXT_SIZE];
    std::memcpy(startedContext, contextBlock, sizeof startedContext);

    // The address text as the host keeps it, its terminator the block's last byte.
    std::unique_ptr<char[]> text(new char[gate.text.size() + 1]);
    std::memcpy(text.get(), gate.text.c_str(), gate.text.size() + 1);
    AddressParseRecord parse{};
    parse.text = text.get();
    parse.words[QOR_WORD_GROUP] = 0xDEAD;
    uint32_t parser = QOR_OP_SINGLE_ADDRESS_PARSER;
    if (gate.kind == kBlock) {
        parser = QOR_OP_BLOCK_ADDRESS_PARSER;
        parse.elementCount = gate.count > 16 ? 16 : gate.count;
    } else {
        parse.dataType = gate.kind == kByte ? QOR_TYPE_BYTE : gate.kind == kBit ? QOR_TYPE_BIT : QOR_TYPE_COMPOUND;
    }
    FUZZ_CHECK(QorCall(nullptr, parser, &parse) == QOR_DONE, "parser refused \"%s\"", gate.text.c_str());

    // The value buffer: guards before it, the end of the heap block after
    // the elements the host must provide.
    int need = 2;
    if (gate.op == kBlockWrite || ((gate.op == kSingleRead || gate.op == kBlockRead) && gate.count != 1)) {
        need = gate.count < 0 ? 0 : gate.count > kMostElements ? kMostElements : gate.count;
    }
    std::unique_ptr<int16_t[]> block(new int16_t[kGuards + need]);
    for (int i = 0; i < kGuards; ++i) block[i] = kGuard;
    int16_t *values = block.get() + kGuards;
    for (int i = 0; i < need; ++i) values[i] = Sentinel(i);
    if (gate.op == kSingleWrite) values[1] = gate.value;
    if (gate.op == kBlockWrite) {
        for (int i = 0; i < need; ++i) values[i] = static_cast<int16_t>(gate.value + 37 * i);
    }
    const std::vector<int16_t> before(values, values + need);

    GateRecord record{};
    record.text = text.get();
    std::memcpy(record.words, parse.words, sizeof record.words);
    record.elementCount = gate.count;
    record.values = values;
    const GateRecord recordBefore = record;

    logged.clear();
    const int32_t result = QorCall(contextBlock, kOpCodes[gate.op], &record);

    Station line{bytes.get(), lineSize};
    Expected expected;
    if (gate.op == kSingleRead || gate.op == kBlockRead) {
        expected = ExpectRead(gate, parse.words, line);
    } else if (gate.op == kSingleWrite) {
        expected = ExpectSingleWrite(gate, parse.words, before[1], line);
    } else {
        expected = ExpectBlockWrite(gate, before.data(), line);
    }

    const fuzz_line::LineState &state = fuzz_line::Line();
    std::vector<std::string> sent;
    for (const fuzz_line::Exchange &exchange : state.writes) {
        FUZZ_CHECK(exchange.frame.size() <= kLongestRequest, "a frame of %zu characters: \"%s\"",
                   exchange.frame.size(), Printable(exchange.frame).c_str());
        sent.push_back(exchange.frame);
    }
    FUZZ_CHECK(!state.foreignHandle, "the driver used a handle the line never handed out");
    FUZZ_CHECK(std::memcmp(startedContext, contextBlock, sizeof startedContext) == 0, "the request changed the context");
    FUZZ_CHECK(std::memcmp(&record, &recordBefore, sizeof record) == 0, "the gate record changed");
    FUZZ_CHECK(sent == expected.frames, "gate \"%s\" count %d: sent%s\nexpected%s", gate.text.c_str(), gate.count,
               FrameList(sent).c_str(), FrameList(expected.frames).c_str());
    FUZZ_CHECK(result == expected.result, "gate \"%s\" count %d op %d: result %d, expected %d", gate.text.c_str(),
               gate.count, static_cast<int>(gate.op), result, expected.result);
    FUZZ_CHECK(state.next == line.next, "the driver took %zu bytes from the line, the frames account for %zu",
               state.next, line.next);
    for (int i = 0; i < kGuards; ++i) FUZZ_CHECK(block[i] == kGuard, "guard %d before the buffer written", i);

    // Only what a decoded reply delivers changes, and only there.
    std::vector<int16_t> wanted = before;
    if (expected.decoded) {
        for (const auto &[element, value] : expected.values) wanted[static_cast<size_t>(element)] = value;
    }
    for (int i = 0; i < need; ++i) {
        FUZZ_CHECK(values[i] == wanted[static_cast<size_t>(i)], "gate \"%s\" count %d: element %d is %d, expected %d",
                   gate.text.c_str(), gate.count, i, values[i], wanted[static_cast<size_t>(i)]);
    }

    // A failed read says so to the operator, naming the gate.
    if ((gate.op == kSingleRead || gate.op == kBlockRead) && result != QOR_DONE) {
        const std::string failure = gate.op == kSingleRead ? "DOVED: Single Read Failed. Gate = " + NameOf(gate.text)
                                                           : "DOVED: Block Read Failed. Gate = " + gate.text;
        FUZZ_CHECK(!logged.empty() && logged.back().level == QOR_LOG_OPERATOR && logged.back().text == failure,
                   "last line \"%s\", expected \"%s\"", logged.empty() ? "" : logged.back().text.c_str(),
                   failure.c_str());
    }

    FUZZ_CHECK(QorCall(contextBlock, QOR_OP_CLOSE_COM, nullptr) == QOR_DONE, "CloseCom");
    FUZZ_CHECK(state.opens == 1 && state.closes == 1, "%d opens, %d closes", state.opens, state.closes);
    return 0;
}
