// OPTOLINK frames: AtHex pairs, the checksum, the request builders, and
// moving one frame across the context's port.
//
// Positions count characters from 0, the leading "s"; group g (A = 0 ... P = 15)
// stands at positions 9 + 2g and 10 + 2g of every frame that carries groups.
#pragma once

#include <cstddef>
#include <cstdint>

#include "entry/qor_interface.h"

constexpr int kGroupCount = 16;
constexpr int kFirstGroupPosition = 9;
// The longest request: a write frame on group P or a block of 16 groups.
constexpr size_t kRequestBufferSize = 44;
// The longest reply: its closing "e" at position 99 at most.
constexpr size_t kReplyBufferSize = 100;
constexpr int kQueryLength = 12;

// Kinds of query as BuildQuery takes them: 100 the MaskQuery, any other the DataQuery.
enum QueryKind : int32_t { kMaskQuery = 100, kDataQuery = 200 };

// The AtHex pair of the low 8 bits of value.
void AtHexEncode(uint32_t value, char pair[2]);
// 16 x (low four bits of the first) + (low four bits of the second).
uint8_t AtHexDecode(const char pair[2]);
// The pair that makes the bytes of count characters (whole pairs) add up to 0.
void FrameChecksum(const char *chars, uint16_t count, char pair[2]);

// Each builder fills frame (kRequestBufferSize) and answers the frame's length.
int BuildQuery(uint32_t station, int32_t kind, char *frame);
// image: a data reply as SingleWrite prepared it (masked); its group pairs
// before the gate's group, and for a bit gate the gate's own pair, are used.
// The caller guarantees a group number 0 to 15 and a bit number 0 to 7 or 255.
// A bit gate's value only sets (non-zero) or clears (0) the gate's own bit;
// the merged byte is logged at level 8.
int BuildWriteFrame(const GateRecord *gate, const char *image, char *frame);
// Data pairs for elements 0 .. elementCount - 1, at most 16 (BlockWrite refuses
// counts above 16 or below 0); a count of 0 or less carries none.
int BuildBlockWriteFrame(const GateRecord *gate, char *frame);

// A reply holds its station pair (positions 7 and 8) from this length on.
constexpr int kStationReplyLength = 9;
// The answering station of a reply (positions 7 and 8), on whole integers
// without reduction to a byte. Needs a reply of kStationReplyLength or more.
int ReplyStation(const char *reply);
// Whether the pair of group (may be beyond P, or -1 for none) stands before
// the checksum pair of a reply whose closing "e" stood at replyLength, and the
// reply holds its station pair.
bool ReplyHoldsGroup(int replyLength, int64_t group);

// Writes the frame on the context's port: 1 sent, 0 not sent (logged).
int SEND(const DriverContext *context, const char *frame, int length);
// Receives one reply into reply (kReplyBufferSize): the position of its closing
// "e", replaced by a terminator, or 0 when no frame arrived.
int ReceiveReply(const DriverContext *context, char *reply);
// Drains the port's input and pauses 100 ms.
void PurgeAndPause(const DriverContext *context);
