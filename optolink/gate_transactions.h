// Read and write transactions of one gate.
#pragma once

#include <cstdint>

#include "entry/qor_interface.h"

int32_t SingleRead(const QorRequest *request);
int32_t BlockRead(const QorRequest *request);
int32_t SingleWrite(const QorRequest *request);
int32_t BlockWrite(const QorRequest *request);

// The shared read transaction: 0 decoded, 1 some reply rejected, 2 no reply.
int32_t DoBlockRead(const QorRequest *request);
// Stores the gate's value(s) from a received reply whose closing "e" stood at
// replyLength: 1 stored, 0 refused (nothing written). Refuses, without a line
// of its own, a reply whose last decoded group's pair does not stand before
// the checksum pair; logs why it refuses compound data.
int DecodeReply(const GateRecord *gate, const char *reply, int replyLength);
