// One request through QorMain, made as a host makes it: a request record
// for the context, the operation and its data, reserved fields zero.
#pragma once

#include <cstdint>

#include "entry/qor_interface.h"

inline int32_t QorCall(void *context, uint32_t operation, void *data) {
    QorRequest request{};
    request.context = context;
    request.operation = operation;
    request.data = data;
    return QorMain(&request);
}
