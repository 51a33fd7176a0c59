// Start, stop and port management of one context. The context block is the
// host's; the driver keeps its per-port state in the fields at its start.
#include "context/driver_context.h"

#include <cstring>

#include "context/shutdown_latch.h"
#include "host/qorhost.h"
#include "serial/serial_port.h"

namespace {

DriverContext *ContextOf(const QorRequest *request) { return static_cast<DriverContext *>(request->context); }

// The reply time-out every open starts with, in 10 ms units.
constexpr int32_t kOpenReplyTimeout = kOpenReadTimeoutMs / 10;

// Copies a 12-byte name field whole: a name without a terminating zero
// stays so, and OpenFromSettings refuses it without reading past the field.
void StoreName(DriverContext *context, const char (&name)[QOR_PORT_NAME_SIZE]) {
    std::memcpy(context->portSettings.name, name, QOR_PORT_NAME_SIZE);
}

bool SameName(const char (&a)[QOR_PORT_NAME_SIZE], const char (&b)[QOR_PORT_NAME_SIZE]) {
    return std::strncmp(a, b, QOR_PORT_NAME_SIZE) == 0;
}

}  // namespace

int32_t ColdStart(const QorRequest *request) {
    DriverContext *context = ContextOf(request);
    const auto *start = static_cast<const StartParams *>(request->data);

    ClearShutdownLatch();
    context->active = start->enabled;
    // A time-out of 0 would leave reads without any limit, so a silent
    // station would hang the host; 0 and below keep the open's 1000 ms.
    const bool applyTimeout = start->replyTimeout > 0;
    context->replyTimeout = applyTimeout ? start->replyTimeout : kOpenReplyTimeout;
    // The context is taken as new: an earlier handle is not looked at.
    context->portHandle = 0;

    // Stored also for a start without a port, so that a later ReOpenCom
    // opens the port the host named rather than whatever the block held.
    StoreName(context, start->portName);
    context->portSettings.line = start->line;
    context->portSettings.controlFlags = QOR_CONTROL_FLAGS_DEFAULT;
    if (start->enabled == 0) return QOR_DONE;

    PortHandle handle = OpenFromSettings(&context->portSettings);
    if (handle == 0) {
        err(QOR_LOG_OPERATOR, "DOVED. ColdStart(): error opening COM port!");
        return QOR_FAILED;
    }
    context->portHandle = handle;
    err(QOR_LOG_OPERATOR, "DOVED: Dupline Optolink 32bit driver installed");
    if (applyTimeout) SetReadTimeout(handle, context->replyTimeout);
    return QOR_DONE;
}

int32_t WarmStart(const QorRequest *request) {
    DriverContext *context = ContextOf(request);
    if (context->active != 0 && context->portHandle != 0) PurgeInput(context->portHandle);
    err(QOR_LOG_DIAGNOSTIC, "DOVED: WarmStart()");
    return QOR_DONE;
}

int32_t CloseCom(const QorRequest *request) {
    DriverContext *context = ContextOf(request);
    if (context->portHandle == 0) return QOR_DONE;
    if (PortClose(context->portHandle) != kPortDone) return QOR_FAILED;
    context->portHandle = 0;
    context->active = 0;
    return QOR_DONE;
}

int32_t EndQor(const QorRequest *request) {
    SetShutdownLatch();
    int32_t result = CloseCom(request);
    if (result != QOR_DONE) err(QOR_LOG_OPERATOR, "DOVED. EndQor(): error closing COM port!");
    return result;
}

int32_t ReOpenCom(const QorRequest *request) {
    DriverContext *context = ContextOf(request);
    // A context that holds its port keeps it: a second handle (which the
    // null device would allow) would be lost when this one is recorded.
    if (context->portHandle != 0) return QOR_FAILED;
    PortHandle handle = OpenFromSettings(&context->portSettings);
    if (handle == 0) return QOR_FAILED;
    context->active = 1;
    context->portHandle = handle;
    // The port keeps the 1000 ms of the open.
    return QOR_DONE;
}

int32_t ChangeQorParams(const QorRequest *request) {
    DriverContext *context = ContextOf(request);
    const auto *change = static_cast<const ChangeParams *>(request->data);

    // 0 keeps the context's value; a negative one means the same.
    if (change->replyTimeout > 0) context->replyTimeout = change->replyTimeout;

    const int32_t activeOnEntry = context->active;
    bool closedOldPort = false;
    if (!SameName(change->portName, context->portSettings.name) && context->portHandle != 0) {
        if (CloseCom(request) != QOR_DONE) {
            // Opening the new port now would lose the old one, still open.
            err(QOR_LOG_OPERATOR, "DOVED: ChangeQorParams() open new COM port failed");
            return QOR_FAILED;
        }
        closedOldPort = true;
    }
    StoreName(context, change->portName);
    if (change->line.baud != 0) context->portSettings.line = change->line;

    // Still holding the port of the same name: the exclusive open of a
    // serial port would fail here, while the null device would open a
    // second handle and the recorded one would be lost. Refused alike.
    if (context->portHandle != 0) {
        err(QOR_LOG_OPERATOR, "DOVED: ChangeQorParams() open new COM port failed");
        return QOR_FAILED;
    }

    PortHandle handle = OpenFromSettings(&context->portSettings);
    if (handle == 0) {
        err(QOR_LOG_OPERATOR, "DOVED: ChangeQorParams() open new COM port failed");
        return QOR_FAILED;
    }
    context->portHandle = handle;
    // A port change keeps a running context running: the close above
    // cleared the flag only because it went through CloseCom.
    if (closedOldPort) context->active = activeOnEntry;
    SetReadTimeout(handle, context->replyTimeout);
    return QOR_DONE;
}
