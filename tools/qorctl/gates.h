// Gates as given on the command line ("01AA", "12C3", "01AA:16",
// "01AA:3=1,2,3"), parsed by the driver's own parsers, read and written
// through QorMain.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/qorctl/driver.h"

namespace qorctl {

enum class GateKind { Byte, Bit, Compound, Block, Unknown };

const char *KindName(GateKind kind);

// Host data-type code for a single gate of the kind (byte for an unknown
// suffix, which the parser refuses anyway).
int32_t DataTypeOf(GateKind kind);

// The kind a single address's suffix (its fourth character) names.
GateKind KindFromSuffix(std::string_view address);

struct GateArgument {
    std::string given;    // the argument as typed, without "=values"
    std::string address;  // the address text handed to the driver
    GateKind kind = GateKind::Unknown;
    int32_t count = 1;    // element count: 1, or the block's count
    std::vector<long> values;  // what a write sends
};

// Splits "ADDRESS[:COUNT][=VALUE[,VALUE...]]". Only the syntax is checked
// here; whether the address is one is the driver's parser's to decide.
// nullopt with a one-line reason on a malformed argument.
std::optional<GateArgument> SplitGateArgument(std::string_view argument, bool withValues,
                                              std::string *error);

// A value as typed: decimal, or hexadecimal with 0x; it must fit the
// driver's 16-bit element (-32768 to 65535).
std::optional<long> ParseValue(std::string_view text);

struct ParsedGate {
    GateArgument gate;
    int32_t dataType = 0;
    bool block = false;
    int32_t result = QOR_FAILED;
    uint32_t words[QOR_ADDRESS_WORDS] = {};
    std::string reason;  // why the parser refused
};

// Runs SingleAddressParser, or BlockAddressParser for a block, on the gate.
// A refusal is explained by the driver's logged line when it wrote one,
// otherwise by ExplainRefusal.
ParsedGate ParseGate(Driver &driver, const GateArgument &gate, int32_t dataType, bool block);

// Why the driver's parser refuses an address it refuses silently.
std::string ExplainRefusal(std::string_view address, int32_t dataType, bool block, int32_t count);

struct GateOutcome {
    int32_t result = QOR_FAILED;
    std::vector<int16_t> values;  // a single gate: one value; a block: count values
    std::string reason;           // for a result other than 0
};

GateOutcome ReadGate(Driver &driver, void *context, const ParsedGate &gate);
GateOutcome WriteGate(Driver &driver, void *context, const ParsedGate &gate);

// "90", "-1237", or a block's "0,0,90,0".
std::string FormatValues(const std::vector<int16_t> &values, bool block);

const char *ResultWord(int32_t result);

}  // namespace qorctl
