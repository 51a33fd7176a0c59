// The exported entry point and its table of operations.
#include "addressing/gate_address.h"
#include "context/driver_context.h"
#include "context/shutdown_latch.h"
#include "entry/driver_info.h"
#include "entry/qor_interface.h"
#include "optolink/gate_transactions.h"

namespace {

using OperationHandler = int32_t (*)(const QorRequest *request);

constexpr uint32_t kOperationSlots = 17;

// Indexed by the operation code; empty slots answer 2.
constexpr OperationHandler kOperationTable[kOperationSlots] = {
    nullptr,              // 0
    ColdStart,            // 1
    WarmStart,            // 2
    SingleAddressParser,  // 3
    BlockAddressParser,   // 4
    SingleRead,           // 5
    BlockRead,            // 6
    SingleWrite,          // 7
    nullptr,              // 8
    nullptr,              // 9
    BlockWrite,           // 10
    EndQor,               // 11
    CloseCom,             // 12
    ReOpenCom,            // 13
    GetQorInfo,           // 14
    ChangeQorParams,      // 15
    nullptr,              // 16
};

}  // namespace

extern "C" QOR_EXPORT int32_t QOR_CALL QorMain(const QorRequest *request) {
    // After EndQor nothing in the request is read, not even the code.
    if (ShutdownLatchIsSet()) return QOR_DONE;
    uint32_t operation = request->operation;
    if (operation >= kOperationSlots) return QOR_FAILED;
    OperationHandler handler = kOperationTable[operation];
    if (handler == nullptr) return QOR_FAILED;
    return handler(request);
}
