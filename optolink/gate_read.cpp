// Reading gates: one DataQuery to the gate's station, up to four attempts,
// the status and station tests, and decoding the group pairs of the reply.
#include <cstdint>

#include "addressing/gate_address.h"
#include "host/qorhost.h"
#include "optolink/gate_transactions.h"
#include "optolink/optolink_frames.h"

namespace {

constexpr int kReadAttempts = 4;
// Bit 8 of the status pair's first character: the station's field equipment is in trouble.
constexpr uint8_t kFieldFaultBit = 8;

// Compound flag nibble.
constexpr uint8_t kCompoundUsed = 8;
constexpr uint8_t kCompoundValid = 4;
constexpr uint8_t kCompoundNegative = 2;
constexpr uint8_t kCompoundThousand = 1;

const DriverContext *ContextOf(const QorRequest *request) { return static_cast<const DriverContext *>(request->context); }
const GateRecord *GateOf(const QorRequest *request) { return static_cast<const GateRecord *>(request->data); }

// A character's distance from "@" as an unsigned 8-bit value: the nibble for "@".."O".
uint8_t Nibble(char c) { return static_cast<uint8_t>(static_cast<uint8_t>(c) - 0x40); }

// 16 x first + second nibble, not reduced to a byte (a bit gate shifts the whole sum).
uint32_t GroupSum(const char *reply, int64_t group) {
    const int64_t position = kFirstGroupPosition + 2 * group;
    return 16u * Nibble(reply[position]) + Nibble(reply[position + 1]);
}

int16_t GroupByte(const char *reply, int64_t group) { return static_cast<int16_t>(GroupSum(reply, group) & 0xFF); }

// The last group a read takes from the reply; -1 when it takes none.
int64_t LastDecodedGroup(const GateRecord *gate, char suffix) {
    const int64_t group = gate->words[QOR_WORD_GROUP];
    const int32_t count = gate->elementCount;
    if (count == 1) return suffix == 'C' ? group + 1 : group;
    if (count > 0) return group + count - 1;
    return -1;
}

// 1 stored, 0 refused (logged).
int DecodeCompound(const char *reply, int64_t group, const char *name, int16_t *value) {
    const int64_t position = kFirstGroupPosition + 2 * group;
    const uint8_t flags = Nibble(reply[position]);
    const uint8_t hundreds = Nibble(reply[position + 1]);
    const uint8_t tens = Nibble(reply[position + 2]);
    const uint8_t units = Nibble(reply[position + 3]);
    if ((flags & kCompoundUsed) == 0) {
        err(QOR_LOG_DIAGNOSTIC, "DOVED: Data for Compound Gate %s is ignored!", name);
        return 0;
    }
    if ((flags & kCompoundValid) == 0) {
        err(QOR_LOG_DIAGNOSTIC, "DOVED: Invalid Data for Compound Gate %s", name);
        return 0;
    }
    if (units > 9 || tens > 9 || hundreds > 9) {
        err(QOR_LOG_DIAGNOSTIC, "DOVED: Non-BCD Data for Compound Gate %s", name);
        return 0;
    }
    const int magnitude = 1000 * (flags & kCompoundThousand) + 100 * hundreds + 10 * tens + units;
    *value = static_cast<int16_t>((flags & kCompoundNegative) != 0 ? -magnitude : magnitude);
    return 1;
}

}  // namespace

int DecodeReply(const GateRecord *gate, const char *reply, int replyLength) {
    char name[kGateNameSize] = {};
    GateName(gate->text, name);
    const char suffix = name[3];

    // A reply too short for what it decodes is incorrect data: what stands
    // past its end is left over from an earlier reply, not this station's.
    if (!ReplyHoldsGroup(replyLength, LastDecodedGroup(gate, suffix))) return 0;

    const int64_t group = gate->words[QOR_WORD_GROUP];
    const int32_t count = gate->elementCount;
    if (count == 1) {
        if (suffix == 'A') {
            gate->values[1] = GroupByte(reply, group);
        } else if (suffix == 'C') {
            return DecodeCompound(reply, group, name, &gate->values[1]);
        } else {
            const uint32_t bit = gate->words[QOR_WORD_BIT];
            // A bit number beyond the sum's width leaves no bit to deliver.
            gate->values[1] = static_cast<int16_t>(bit < 32 ? (GroupSum(reply, group) >> bit) & 1u : 0u);
        }
        return 1;
    }
    for (int32_t i = 0; i < count; ++i) gate->values[i] = GroupByte(reply, group + i);
    return 1;
}

int32_t DoBlockRead(const QorRequest *request) {
    const DriverContext *context = ContextOf(request);
    const GateRecord *gate = GateOf(request);
    int32_t result = QOR_FAILED;

    // A block that reaches past group P finds no pairs in any station's
    // reply: refused before anything is sent (counts 0 and below store nothing).
    const int32_t count = gate->elementCount;
    if (count > 1 && static_cast<int64_t>(gate->words[QOR_WORD_GROUP]) + count > kGroupCount) return QOR_REFUSED;

    const int station = static_cast<int>(gate->words[QOR_WORD_STATION]);
    char query[kRequestBufferSize];
    const int queryLength = BuildQuery(gate->words[QOR_WORD_STATION], kDataQuery, query);
    char name[kGateNameSize] = {};
    GateName(gate->text, name);
    char reply[kReplyBufferSize];

    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        SEND(context, query, queryLength);
        const int length = ReceiveReply(context, reply);
        if (length == 0) {
            err(QOR_LOG_DIAGNOSTIC, "DOVED: DoBlockRead() error reading reply, retry %d", kReadAttempts - attempt);
            PurgeAndPause(context);
            continue;
        }
        // A reply without its station pair cannot be tested: incorrect data,
        // before the status and station tests read positions 5, 7 and 8.
        if (length < kStationReplyLength) {
            err(QOR_LOG_DIAGNOSTIC, "DOVED: DoBlockRead() Incorrect data received");
            PurgeAndPause(context);
            result = QOR_REFUSED;
            continue;
        }
        if ((Nibble(reply[5]) & kFieldFaultBit) != 0) {
            err(QOR_LOG_OPERATOR, "DOVED. Station %c:Problem with Field Equipment!", name[1]);
            PurgeAndPause(context);
            result = QOR_REFUSED;
            continue;
        }
        const int answered = ReplyStation(reply);
        if (answered != station) {
            err(QOR_LOG_DIAGNOSTIC, "DOVED: DoBlockRead() wrong plcaddr (%d) in received msg!", answered);
            PurgeAndPause(context);
            result = QOR_REFUSED;
            continue;
        }
        if (DecodeReply(gate, reply, length) == 0) {
            err(QOR_LOG_DIAGNOSTIC, "DOVED: DoBlockRead() Incorrect data received");
            PurgeAndPause(context);
            result = QOR_REFUSED;
            continue;
        }
        result = QOR_DONE;
        break;
    }
    return result;
}

int32_t SingleRead(const QorRequest *request) {
    if (ContextOf(request)->active == 0) return QOR_REFUSED;
    const int32_t result = DoBlockRead(request);
    if (result != QOR_DONE) {
        char name[kGateNameSize] = {};
        GateName(GateOf(request)->text, name);
        err(QOR_LOG_OPERATOR, "DOVED: Single Read Failed. Gate = %s", name);
    }
    return result;
}

int32_t BlockRead(const QorRequest *request) {
    if (ContextOf(request)->active == 0) return QOR_REFUSED;
    const int32_t result = DoBlockRead(request);
    // The address text as the host gave it, not normalised.
    if (result != QOR_DONE) err(QOR_LOG_OPERATOR, "DOVED: Block Read Failed. Gate = %s", GateOf(request)->text);
    return result;
}
