// Writing gates: the mask, data and write exchange of a single gate, and
// the one-frame block write from group A on.
#include <cstdint>

#include "addressing/gate_address.h"
#include "host/qorhost.h"
#include "optolink/gate_transactions.h"
#include "optolink/optolink_frames.h"

namespace {

constexpr int kSingleWriteAttempts = 4;
constexpr int kBlockWriteAttempts = 3;
constexpr uint32_t kHighestByte = 255;
constexpr uint32_t kHighestBit = 7;

const DriverContext *ContextOf(const QorRequest *request) { return static_cast<const DriverContext *>(request->context); }
const GateRecord *GateOf(const QorRequest *request) { return static_cast<const GateRecord *>(request->data); }

// Clears in the data reply every group whose pair in the mask reply is not
// "@@". Only pairs that stand before the checksum pair of both replies are
// looked at; the write frame takes nothing beyond them (checked before).
void MaskImage(char *data, int dataLength, const char *mask, int maskLength) {
    for (int k = kFirstGroupPosition; k < dataLength - 2 && k < maskLength - 2; k += 2) {
        if (mask[k] != '@' || mask[k + 1] != '@') {
            data[k] = '@';
            data[k + 1] = '@';
        }
    }
}

enum class ReplyCheck { kGood, kBadStation, kShort };

// The tests a mask or data reply must pass before the write frame is built
// from it. A reply that does not hold the station pair, or not every group
// the write frame takes from the image, is rejected as incorrect data: the
// frame would otherwise send the station bytes it never sent.
ReplyCheck CheckReply(const char *reply, int length, int station, int64_t lastGroupTaken) {
    if (length < kStationReplyLength) return ReplyCheck::kShort;
    if (ReplyStation(reply) != station) return ReplyCheck::kBadStation;
    if (!ReplyHoldsGroup(length, lastGroupTaken)) return ReplyCheck::kShort;
    return ReplyCheck::kGood;
}

// One query of a write attempt, the mask or the data query: sends it and
// takes and checks the reply. Returns the reply's length, or 0 when the
// attempt goes no further; then the reason is logged, *result holds what a
// rejected reply makes of the request, and the line is purged where a
// reply was lost or cut short.
int QueryForWrite(const DriverContext *context, uint32_t stationWord, int32_t query, int64_t lastGroupTaken,
                  const char *name, char *reply, int32_t *result) {
    char frame[kRequestBufferSize];
    const int frameLength = BuildQuery(stationWord, query, frame);
    SEND(context, frame, frameLength);
    const int length = ReceiveReply(context, reply);
    if (length == 0) {
        PurgeAndPause(context);
        return 0;
    }
    switch (CheckReply(reply, length, static_cast<int>(stationWord), lastGroupTaken)) {
    case ReplyCheck::kGood:
        return length;
    case ReplyCheck::kBadStation:
        err(QOR_LOG_DIAGNOSTIC, "DOVED: Bad Plc Address in Reply");
        *result = QOR_REFUSED;
        return 0;
    case ReplyCheck::kShort:
        err(QOR_LOG_DIAGNOSTIC, "DOVED: SingleWrite() Incorrect data received. Gate = %s", name);
        *result = QOR_REFUSED;
        PurgeAndPause(context);
        return 0;
    }
    return 0;
}

}  // namespace

int32_t SingleWrite(const QorRequest *request) {
    const DriverContext *context = ContextOf(request);
    const GateRecord *gate = GateOf(request);
    int32_t result = QOR_FAILED;
    if (context->active == 0) return QOR_REFUSED;

    char name[kGateNameSize] = {};
    GateName(gate->text, name);
    const uint32_t value = static_cast<uint16_t>(gate->values[1]);
    if (gate->words[QOR_WORD_COMPOUND] == QOR_COMPOUND_FLAG) {
        err(QOR_LOG_OPERATOR, "DOVED: Can't write to Compound Gates. Gate %s", name);
        return QOR_REFUSED;
    }
    // Negative values read as 32768 to 65535 and are refused alike.
    if (value > kHighestByte) return QOR_REFUSED;

    const uint32_t group = gate->words[QOR_WORD_GROUP];
    const uint32_t bit = gate->words[QOR_WORD_BIT];
    // Words no parser writes for an accepted gate: the frame would not fit
    // its buffer, or the bit would not exist. Refused like a bad value.
    if (group >= static_cast<uint32_t>(kGroupCount) || (bit > kHighestBit && bit != QOR_NO_BIT)) return QOR_REFUSED;

    const uint32_t stationWord = gate->words[QOR_WORD_STATION];
    // Groups A to the one before the gate's come from the image, and a bit
    // gate's own group too; a whole-byte gate on group A takes none.
    const int64_t lastGroupTaken = bit == QOR_NO_BIT ? static_cast<int64_t>(group) - 1 : group;

    char frame[kRequestBufferSize];
    char maskReply[kReplyBufferSize];
    char dataReply[kReplyBufferSize];
    char acknowledgement[kReplyBufferSize];

    for (int attempt = 0; attempt < kSingleWriteAttempts; ++attempt) {
        // The mask reply is checked before the DataQuery goes out: a mask
        // that cannot decide the groups taken rejects the attempt whatever
        // the data reply holds.
        const int maskLength = QueryForWrite(context, stationWord, kMaskQuery, lastGroupTaken, name, maskReply, &result);
        if (maskLength == 0) continue;
        const int dataLength = QueryForWrite(context, stationWord, kDataQuery, lastGroupTaken, name, dataReply, &result);
        if (dataLength == 0) continue;

        MaskImage(dataReply, dataLength, maskReply, maskLength);
        const int length = BuildWriteFrame(gate, dataReply, frame);
        SEND(context, frame, length);
        // Only the arrival of an acknowledgement counts, not its content.
        if (ReceiveReply(context, acknowledgement) == 0) continue;
        result = QOR_DONE;
        break;
    }
    return result;
}

int32_t BlockWrite(const QorRequest *request) {
    const DriverContext *context = ContextOf(request);
    const GateRecord *gate = GateOf(request);
    int32_t result = QOR_FAILED;
    if (context->active == 0) return QOR_REFUSED;

    char name[kGateNameSize] = {};
    GateName(gate->text, name);
    if (name[3] != 'A') {
        err(QOR_LOG_OPERATOR, "DOVED: No Block Write Support. gate = %s", name);
        return QOR_REFUSED;
    }
    // A station has 16 groups; a count the parser would not pass (above 16)
    // or a negative one would send a count pair that matches no data.
    const int32_t count = gate->elementCount;
    if (count > kGroupCount || count < 0) {
        err(QOR_LOG_OPERATOR, "DOVED: Illegal Block Write Count %d", count);
        return QOR_REFUSED;
    }

    // Built once; the host's values are only read.
    char frame[kRequestBufferSize];
    const int length = BuildBlockWriteFrame(gate, frame);
    char reply[kReplyBufferSize];
    for (int attempt = 0; attempt < kBlockWriteAttempts; ++attempt) {
        SEND(context, frame, length);
        if (ReceiveReply(context, reply) != 0) {
            result = QOR_DONE;
            break;
        }
    }
    return result;
}
