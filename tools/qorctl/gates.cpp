#include "tools/qorctl/gates.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>

#include "host/qorhost.h"

namespace qorctl {

namespace {

std::string Quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}

std::string Quoted(char c) {
    return Quoted(std::string_view(&c, 1));
}

const char *TypeName(int32_t dataType) {
    switch (dataType) {
    case QOR_TYPE_BYTE: return "byte";
    case QOR_TYPE_COMPOUND: return "compound";
    case QOR_TYPE_BIT: return "bit";
    default: return "other";
    }
}

// Lines of the latest call, each once, in order; lines that only count
// attempts or announce the final failure are left out, since the result
// says as much.
std::string ReasonFromLog(const DriverLog &log, bool operatorLevelOnly) {
    std::vector<std::string> reasons;
    for (const DriverLine &line : log.Captured()) {
        if (operatorLevelOnly && line.level != QOR_LOG_OPERATOR) continue;
        if (line.text.find("retry") != std::string::npos) continue;
        if (line.text.find("Read Failed") != std::string::npos) continue;
        if (std::find(reasons.begin(), reasons.end(), line.text) == reasons.end())
            reasons.push_back(line.text);
    }
    std::string joined;
    for (const std::string &reason : reasons) {
        if (!joined.empty()) joined += "; ";
        joined += reason;
    }
    return joined;
}

std::optional<long> ParseInteger(std::string_view text, int base) {
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

const char *KindName(GateKind kind) {
    switch (kind) {
    case GateKind::Byte: return "byte";
    case GateKind::Bit: return "bit";
    case GateKind::Compound: return "compound";
    case GateKind::Block: return "block";
    case GateKind::Unknown: break;
    }
    return "?";
}

int32_t DataTypeOf(GateKind kind) {
    switch (kind) {
    case GateKind::Bit: return QOR_TYPE_BIT;
    case GateKind::Compound: return QOR_TYPE_COMPOUND;
    default: return QOR_TYPE_BYTE;
    }
}

GateKind KindFromSuffix(std::string_view address) {
    if (address.size() < 4) return GateKind::Unknown;
    char suffix = static_cast<char>(std::toupper(static_cast<unsigned char>(address[3])));
    if (suffix == 'A') return GateKind::Byte;
    if (suffix == 'C') return GateKind::Compound;
    if (suffix >= '0' && suffix <= '7') return GateKind::Bit;
    return GateKind::Unknown;
}

std::optional<long> ParseValue(std::string_view text) {
    bool negative = !text.empty() && text.front() == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    std::optional<long> magnitude;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        magnitude = ParseInteger(digits.substr(2), 16);
    else
        magnitude = ParseInteger(digits, 10);
    if (!magnitude || *magnitude < 0) return std::nullopt;
    long value = negative ? -*magnitude : *magnitude;
    if (value < -32768 || value > 65535) return std::nullopt;
    return value;
}

std::optional<GateArgument> SplitGateArgument(std::string_view argument, bool withValues,
                                              std::string *error) {
    GateArgument gate;
    std::string_view left = argument;
    std::string_view right;
    if (withValues) {
        size_t equals = argument.find('=');
        if (equals == std::string_view::npos) {
            *error = Quoted(argument) + ": expected GATE=VALUE";
            return std::nullopt;
        }
        left = argument.substr(0, equals);
        right = argument.substr(equals + 1);
    }
    gate.given = std::string(left);
    gate.address = gate.given;

    size_t colon = left.rfind(':');
    if (colon != std::string_view::npos) {
        std::string_view count = left.substr(colon + 1);
        std::optional<long> parsed = ParseInteger(count, 10);
        if (!parsed || count.front() == '+' || *parsed > INT32_MAX) {
            *error = Quoted(argument) + ": block count " + Quoted(count) +
                     " is not a number of groups (write a block as 01AA:16)";
            return std::nullopt;
        }
        if (*parsed < 0) {
            *error = Quoted(argument) + ": block count " + Quoted(count) + " is negative";
            return std::nullopt;
        }
        gate.address = std::string(left.substr(0, colon));
        gate.kind = GateKind::Block;
        gate.count = static_cast<int32_t>(*parsed);
    } else {
        gate.kind = KindFromSuffix(gate.address);
    }
    if (gate.address.empty()) {
        *error = Quoted(argument) + ": empty address";
        return std::nullopt;
    }

    if (!withValues) return gate;

    std::vector<std::string_view> texts;
    size_t start = 0;
    while (true) {
        size_t comma = right.find(',', start);
        texts.push_back(right.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                             : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (gate.kind == GateKind::Block && gate.count == 0 && texts.size() == 1 && texts[0].empty())
        texts.clear();
    for (std::string_view text : texts) {
        std::optional<long> value = ParseValue(text);
        if (!value) {
            *error = Quoted(argument) + ": value " + Quoted(text) +
                     " is not a number from -32768 to 65535";
            return std::nullopt;
        }
        gate.values.push_back(*value);
    }
    size_t expected = gate.kind == GateKind::Block ? static_cast<size_t>(gate.count) : 1;
    if (gate.values.size() != expected) {
        *error = Quoted(argument) + ": " + std::to_string(gate.values.size()) + " values for " +
                 (gate.kind == GateKind::Block ? std::to_string(gate.count) + " groups"
                                               : std::string("a single gate"));
        return std::nullopt;
    }
    return gate;
}

std::string ExplainRefusal(std::string_view address, int32_t dataType, bool block, int32_t count) {
    if (address.size() > 8) return "longer than 8 characters";
    if (address.size() < 4) return "shorter than 4 characters (station, group, suffix)";
    auto upper = [&](size_t i) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(address[i])));
    };
    char tens = upper(0), units = upper(1), group = upper(2), suffix = upper(3);
    if (tens < '0' || tens > '6') return "station digit " + Quoted(address[0]) + " is not 0 to 6";
    if (units < '0' || units > '9') return "station digit " + Quoted(address[1]) + " is not 0 to 9";
    if (group < 'A' || group > 'P') return "group " + Quoted(address[2]) + " is not A to P";
    bool digitSuffix = suffix >= '0' && suffix <= '7';
    if (!digitSuffix && suffix != 'A' && suffix != 'C')
        return "suffix " + Quoted(address[3]) + " is not 0 to 7, A or C";
    int station = (tens - '0') * 10 + (units - '0');
    std::string stationText = "station " + std::string(address.substr(0, 2)) + " is not 1 to 63";
    if (!block) {
        int32_t required = suffix == 'A' ? QOR_TYPE_BYTE : suffix == 'C' ? QOR_TYPE_COMPOUND : QOR_TYPE_BIT;
        if (dataType != required)
            return "suffix " + Quoted(suffix) + " needs the " + TypeName(required) + " data type (" +
                   std::to_string(required) + "), not " + TypeName(dataType) + " (" +
                   std::to_string(dataType) + ")";
        if (station < 1 || station > 63) return stationText;
    } else {
        if (station < 1 || station > 63) return stationText;
        if (suffix != 'A') return "a block is of whole bytes: its suffix is A, not " + Quoted(address[3]);
        if (count > 16) return "a block holds at most 16 groups, not " + std::to_string(count);
    }
    return "refused by the driver's parser";
}

ParsedGate ParseGate(Driver &driver, const GateArgument &gate, int32_t dataType, bool block) {
    ParsedGate parsed;
    parsed.gate = gate;
    parsed.dataType = dataType;
    parsed.block = block;
    AddressParseRecord record{};
    record.text = gate.address.c_str();
    record.dataType = dataType;
    record.elementCount = gate.count;
    parsed.result = driver.Call(block ? QOR_OP_BLOCK_ADDRESS_PARSER : QOR_OP_SINGLE_ADDRESS_PARSER,
                                nullptr, &record);
    std::copy(std::begin(record.words), std::end(record.words), parsed.words);
    if (parsed.result != QOR_DONE) {
        parsed.reason = ReasonFromLog(driver.Log(), true);
        if (parsed.reason.empty()) parsed.reason = ExplainRefusal(gate.address, dataType, block, gate.count);
    }
    return parsed;
}

namespace {

GateRecord MakeRecord(const ParsedGate &gate, std::vector<int16_t> &buffer) {
    GateRecord record{};
    record.text = gate.gate.address.c_str();
    std::copy(std::begin(gate.words), std::end(gate.words), record.words);
    record.elementCount = gate.gate.count;
    record.values = buffer.data();
    return record;
}

// A single gate's value, and a block of one element, live in element 1;
// a block's values otherwise in elements 0 to count - 1.
size_t BufferSize(int32_t count) {
    return std::max<size_t>(2, count > 0 ? static_cast<size_t>(count) : 0);
}

}  // namespace

GateOutcome ReadGate(Driver &driver, void *context, const ParsedGate &gate) {
    std::vector<int16_t> buffer(BufferSize(gate.gate.count), 0);
    GateRecord record = MakeRecord(gate, buffer);
    GateOutcome outcome;
    outcome.result = driver.Call(gate.block ? QOR_OP_BLOCK_READ : QOR_OP_SINGLE_READ, context, &record);
    if (outcome.result == QOR_DONE) {
        if (gate.gate.count == 1)
            outcome.values.push_back(buffer[1]);
        else if (gate.gate.count > 1)
            outcome.values.assign(buffer.begin(), buffer.begin() + gate.gate.count);
    } else if (outcome.result == QOR_REFUSED) {
        std::string reason = ReasonFromLog(driver.Log(), false);
        outcome.reason = "rejected: " + (reason.empty() ? std::string("every reply was rejected") : reason);
    } else {
        outcome.reason = "failed: no reply";
    }
    return outcome;
}

GateOutcome WriteGate(Driver &driver, void *context, const ParsedGate &gate) {
    GateOutcome outcome;
    const std::vector<long> &values = gate.gate.values;
    std::vector<int16_t> buffer(BufferSize(gate.gate.count), 0);

    // The driver merges a bit gate's value shifted to the gate's bit, so any
    // value but 0 and 1 would change the neighbouring bits too; a block
    // element goes out as its low byte. Neither is sent.
    if (!gate.block && gate.gate.kind == GateKind::Bit && values[0] != 0 && values[0] != 1) {
        outcome.result = QOR_REFUSED;
        outcome.reason = "refused: a bit gate takes 0 or 1, not " + std::to_string(values[0]);
        return outcome;
    }
    if (gate.block) {
        for (long value : values) {
            if (value < 0 || value > 255) {
                outcome.result = QOR_REFUSED;
                outcome.reason = "refused: block values are bytes 0 to 255, not " + std::to_string(value);
                return outcome;
            }
        }
        for (size_t i = 0; i < values.size(); ++i) buffer[i] = static_cast<int16_t>(values[i]);
    } else {
        buffer[1] = static_cast<int16_t>(static_cast<uint16_t>(values[0]));
    }

    GateRecord record = MakeRecord(gate, buffer);
    outcome.result = driver.Call(gate.block ? QOR_OP_BLOCK_WRITE : QOR_OP_SINGLE_WRITE, context, &record);
    if (outcome.result == QOR_REFUSED) {
        std::string reason = ReasonFromLog(driver.Log(), true);
        bool outOfRange = !gate.block && (values[0] < 0 || values[0] > 255);
        if (!reason.empty())
            outcome.reason = "refused: " + reason;
        else if (outOfRange)
            outcome.reason = "refused: value " + std::to_string(values[0]) + " is not 0 to 255";
        else {
            reason = ReasonFromLog(driver.Log(), false);
            outcome.reason = "rejected: " + (reason.find("Plc Address") != std::string::npos
                                                 ? std::string("DOVED: Bad Plc Address in Reply")
                                                 : std::string("every reply was rejected"));
        }
    } else if (outcome.result != QOR_DONE) {
        outcome.reason = "failed: no reply";
    }
    return outcome;
}

std::string FormatValues(const std::vector<int16_t> &values, bool block) {
    if (!block) return values.empty() ? "-" : std::to_string(values[0]);
    std::string text;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) text += ',';
        text += std::to_string(values[i]);
    }
    return text;
}

const char *ResultWord(int32_t result) {
    switch (result) {
    case QOR_DONE: return "ok";
    case QOR_REFUSED: return "refused";
    default: return "failed";
    }
}

}  // namespace qorctl
