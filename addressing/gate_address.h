// Gate address texts: validation, the normalised GateName and the parsers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "entry/qor_interface.h"

// Longest address text the parsers accept.
constexpr size_t kAddressTextMax = 8;
// A GateName holds at most 11 characters and its terminator.
constexpr size_t kGateNameSize = 12;

// Accepts a text of 4 to 8 characters whose first four each belong to the
// set of their position. Changes nothing.
bool ValidateAddress(const char *text);

// The text upper-cased ("a" to "z" only), cut at its first space, and cut to
// what the buffer holds.
void GateName(const char *text, char name[kGateNameSize]);

int32_t SingleAddressParser(const QorRequest *request);
int32_t BlockAddressParser(const QorRequest *request);
