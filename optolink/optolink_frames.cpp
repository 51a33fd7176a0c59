// OPTOLINK frame codec: AtHex pairs, the frame checksum, the request
// builders, and sending and receiving one frame on the context's port.
#include "optolink/optolink_frames.h"

#include "host/qorhost.h"
#include "serial/serial_port.h"

namespace {

// The longest reply: its closing "e" stands at position 99 at most.
constexpr int kLastReplyPosition = static_cast<int>(kReplyBufferSize) - 1;
// The start hunt gives up after this many tries (each one to three characters).
constexpr int kStartHuntTries = 100;
constexpr uint32_t kRecoveryPauseMs = 100;

// Header positions 1 to 8 of a request: station pair, count pair, kind pair, 0x00 pair.
constexpr int kHeaderLength = 8;

// One character from the port, waiting at most the reply time-out.
bool ReadOne(PortHandle handle, char *where) {
    uint32_t received = 0;
    return PortRead(handle, where, 1, &received) == kPortDone && received == 1;
}

// Checksum over positions 1 .. end-1 of frame, written at end and end+1,
// followed by the closing "e". Answers the frame's length.
int CloseFrame(char *frame, int end) {
    FrameChecksum(frame + 1, static_cast<uint16_t>(end - 1), frame + end);
    frame[end + 2] = 'e';
    return end + 3;
}

// "s", station pair, count pair, then the write kind 0x20 and 0x00.
void WriteHeader(char *frame, uint32_t station, uint32_t count) {
    frame[0] = 's';
    AtHexEncode(station, frame + 1);
    AtHexEncode(count, frame + 3);
    frame[5] = 'B';
    frame[6] = '@';
    frame[7] = '@';
    frame[8] = '@';
}

}  // namespace

void AtHexEncode(uint32_t value, char pair[2]) {
    pair[0] = static_cast<char>(0x40 + ((value >> 4) & 0x0F));
    pair[1] = static_cast<char>(0x40 + (value & 0x0F));
}

uint8_t AtHexDecode(const char pair[2]) {
    // Low four bits of each character, whatever the character is.
    return static_cast<uint8_t>(16 * (static_cast<uint8_t>(pair[0]) & 0x0F) + (static_cast<uint8_t>(pair[1]) & 0x0F));
}

void FrameChecksum(const char *chars, uint16_t count, char pair[2]) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; i += 2) sum = static_cast<uint8_t>(sum + AtHexDecode(chars + i));
    AtHexEncode(static_cast<uint8_t>(256 - sum), pair);
}

int BuildQuery(uint32_t station, int32_t kind, char *frame) {
    frame[0] = 's';
    AtHexEncode(station, frame + 1);
    // Count 0x00, kind 0x00 (mask) or 0x20 (data), then 0x00.
    const char *fixed = kind == kMaskQuery ? "@@@@@@" : "@@B@@@";
    for (int i = 0; i < 6; ++i) frame[3 + i] = fixed[i];
    return CloseFrame(frame, 1 + kHeaderLength);
}

int BuildWriteFrame(const GateRecord *gate, const char *image, char *frame) {
    uint32_t value = static_cast<uint16_t>(gate->values[1]);
    const uint32_t station = gate->words[QOR_WORD_STATION];
    const int group = static_cast<int>(gate->words[QOR_WORD_GROUP]);
    const uint32_t bit = gate->words[QOR_WORD_BIT];

    WriteHeader(frame, station, static_cast<uint32_t>(group + 1));
    const int gatePosition = kFirstGroupPosition + 2 * group;
    // Groups A up to the one before the gate's travel back as the image holds them.
    for (int p = kFirstGroupPosition; p < gatePosition; ++p) frame[p] = image[p];

    if (bit != QOR_NO_BIT) {
        const uint8_t high = static_cast<uint8_t>(image[gatePosition] - 0x40);
        const uint8_t low = static_cast<uint8_t>(image[gatePosition + 1] - 0x40);
        const uint8_t current = static_cast<uint8_t>(16 * high + low);
        const uint8_t mask = static_cast<uint8_t>(1u << bit);
        // A bit gate changes its own bit only: 0 clears it, any other value
        // sets it. Shifting the whole value in would also set the bits above.
        const uint8_t merged = value == 0 ? static_cast<uint8_t>(current & ~mask) : static_cast<uint8_t>(current | mask);
        err(QOR_LOG_DIAGNOSTIC, "DOVED: Digital Value to be written = %d", static_cast<int>(merged));
        value = merged;
    }
    AtHexEncode(value, frame + gatePosition);
    return CloseFrame(frame, gatePosition + 2);
}

int BuildBlockWriteFrame(const GateRecord *gate, char *frame) {
    const int32_t count = gate->elementCount;
    WriteHeader(frame, gate->words[QOR_WORD_STATION], static_cast<uint32_t>(count));
    // At most the 16 groups a frame buffer holds (BlockWrite refuses more).
    int pairs = 0;
    for (int32_t i = 0; i < count && i < kGroupCount; ++i, ++pairs)
        AtHexEncode(static_cast<uint16_t>(gate->values[i]), frame + kFirstGroupPosition + 2 * i);
    return CloseFrame(frame, kFirstGroupPosition + 2 * pairs);
}

int ReplyStation(const char *reply) {
    return 16 * (static_cast<uint8_t>(reply[7]) - 0x40) + (static_cast<uint8_t>(reply[8]) - 0x40);
}

bool ReplyHoldsGroup(int replyLength, int64_t group) {
    if (replyLength < kStationReplyLength) return false;
    if (group < 0) return true;
    // Group g stands at 9 + 2g and 10 + 2g; the checksum pair at L - 2 and L - 1.
    return replyLength >= kFirstGroupPosition + 4 + 2 * group;
}

int SEND(const DriverContext *context, const char *frame, int length) {
    uint32_t written = 0;
    const auto count = static_cast<uint32_t>(length);
    if (PortWrite(context->portHandle, frame, count, &written) == kPortDone && written == count) return 1;
    err(QOR_LOG_DIAGNOSTIC, "DOVED:SEND(). Unable to send message.");
    return 0;
}

int ReceiveReply(const DriverContext *context, char *reply) {
    const PortHandle handle = context->portHandle;
    // Hunt for "s@@". The character that ends a try is dropped, so in "ss@@"
    // the second "s" is the first try's failed "@" and starts nothing.
    bool started = false;
    for (int tries = 0; tries < kStartHuntTries && !started; ++tries) {
        if (!ReadOne(handle, &reply[0])) return 0;
        if (reply[0] != 's') continue;
        if (!ReadOne(handle, &reply[1])) return 0;
        if (reply[1] != '@') continue;
        if (!ReadOne(handle, &reply[2])) return 0;
        if (reply[2] != '@') continue;
        started = true;
    }
    if (!started) return 0;

    for (int p = 3; p <= kLastReplyPosition; ++p) {
        if (!ReadOne(handle, &reply[p])) return 0;
        if (reply[p] == 'e') {
            reply[p] = '\0';
            return p;
        }
    }
    return 0;
}

void PurgeAndPause(const DriverContext *context) {
    // The drain's answer does not matter: the pause follows either way. The
    // pause goes through the port layer, the driver's one way to the platform.
    PurgeInput(context->portHandle);
    PortDelay(kRecoveryPauseMs);
}
