// The serial port layer on Win32: kernel32's communication services on a
// synchronous (non-overlapped) file handle. The layer keeps nothing of its
// own; line settings, time-outs and queues live in the port behind the
// handle.
#include "serial/serial_port.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

// The handle travels in the 32-bit PortHandle of the host's context block:
// the DLL is built for 32-bit processes only, where a HANDLE is 32 bits.
static_assert(sizeof(HANDLE) == 4, "the Win32 serial layer is built for 32-bit processes only");
static_assert(sizeof(PortHandle) == sizeof(HANDLE), "PortHandle holds a HANDLE");

namespace {

constexpr DWORD kQueueSize = 1200;             // input and output queues, characters
constexpr DWORD kDrainChunk = 512;             // one drain read
constexpr int32_t kDrainTimeoutUnits = 5;      // each drain read waits at most 50 ms
constexpr BYTE kErrorChar = 0xFC;              // stored, though replacement stays off

HANDLE ToHandle(PortHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handle));
}

PortHandle FromHandle(HANDLE handle) {
    return static_cast<PortHandle>(reinterpret_cast<uintptr_t>(handle));
}

// DTR and RTS each take the first row of their group whose bits meet the
// flags; bits outside these masks have no effect.
DWORD DtrControl(uint16_t flags) {
    if ((flags & QOR_DTR_ENABLE) != 0) return DTR_CONTROL_ENABLE;
    if ((flags & QOR_DTR_HANDSHAKE) != 0) return DTR_CONTROL_HANDSHAKE;
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControl(uint16_t flags) {
    if ((flags & QOR_RTS_ENABLE) != 0) return RTS_CONTROL_ENABLE;
    if ((flags & QOR_RTS_HANDSHAKE) != 0) return RTS_CONTROL_HANDSHAKE;
    if ((flags & QOR_RTS_TOGGLE) != 0) return RTS_CONTROL_TOGGLE;
    return RTS_CONTROL_DISABLE;
}

// Changes only what the OPTOLINK line needs; every other field (XON/XOFF
// limits and characters, EofChar, EvtChar, fTXContinueOnXoff) stays as the
// port reported it.
void ApplyLine(DCB *dcb, const LineSettings *line, uint16_t controlFlags) {
    dcb->BaudRate = static_cast<DWORD>(line->baud);
    dcb->fBinary = TRUE;
    dcb->fParity = TRUE;
    dcb->fOutxCtsFlow = FALSE;
    dcb->fOutxDsrFlow = FALSE;
    dcb->fDtrControl = DtrControl(controlFlags);
    dcb->fDsrSensitivity = FALSE;
    dcb->fOutX = FALSE;
    dcb->fInX = FALSE;
    dcb->fErrorChar = FALSE;
    dcb->fNull = FALSE;
    dcb->fRtsControl = RtsControl(controlFlags);
    dcb->fAbortOnError = FALSE;
    dcb->ByteSize = static_cast<BYTE>(line->dataBits & 0xFF);
    dcb->Parity = static_cast<BYTE>(line->parity & 0xFF);
    dcb->StopBits = static_cast<BYTE>(line->stopBits & 0xFF);
    dcb->ErrorChar = static_cast<char>(kErrorChar);
}

}  // namespace

int32_t PortOpen(const char *name, const LineSettings *line, uint16_t controlFlags,
                 PortHandle *handle) {
    // Share mode 0: exclusive while this handle is open. No overlapped flag,
    // so every read and write on it is synchronous.
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    *handle = FromHandle(port);
    if (port == INVALID_HANDLE_VALUE) return kPortNotOpened;

    // The null device is used as it is: no configuration call at all.
    if (std::strcmp(name, "NUL") == 0) return kPortDone;

    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        CloseHandle(port);
        return kPortNotSerial;
    }

    // A total time-out per read request, none for writes.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(port, &timeouts)) {
        CloseHandle(port);
        return kPortNotOpened;
    }

    ApplyLine(&dcb, line, controlFlags);
    if (!SetCommState(port, &dcb)) {
        CloseHandle(port);
        return kPortBadSettings;
    }

    SetupComm(port, kQueueSize, kQueueSize);  // a request; its result is not needed
    return kPortDone;
}

PortHandle OpenFromSettings(const PortSettings *settings) {
    // A name that fills its field without a terminating zero names no port.
    if (std::memchr(settings->name, '\0', sizeof settings->name) == nullptr) return 0;
    PortHandle handle = 0;
    if (PortOpen(settings->name, &settings->line, settings->controlFlags, &handle) != kPortDone) {
        return 0;
    }
    return handle;
}

int32_t PortClose(PortHandle handle) {
    return CloseHandle(ToHandle(handle)) ? kPortDone : kPortIoFailed;
}

int32_t SetReadTimeout(PortHandle handle, int32_t units) {
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(ToHandle(handle), &timeouts)) return 0;
    DWORD old = timeouts.ReadTotalTimeoutConstant;
    // A 32-bit product, as the port's field holds it.
    DWORD wanted = static_cast<DWORD>(static_cast<uint32_t>(units) * 10u);
    if (old != wanted) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!SetCommTimeouts(ToHandle(handle), &timeouts)) return 0;
    }
    return static_cast<int32_t>(old / 10);
}

int32_t PurgeInput(PortHandle handle) {
    HANDLE port = ToHandle(handle);
    // Also clears a pending line-error condition, so that input and output
    // go on; the error mask itself is of no interest.
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    BOOL cleared = ClearCommError(port, &errors, &status);
    if (cleared && status.cbInQue == 0) return kPortDone;

    // Characters are waiting, or the port could not say: drain with short
    // reads until one comes back short. That last read waits its full 50 ms,
    // so the drain also swallows what arrives meanwhile.
    int32_t old = SetReadTimeout(handle, kDrainTimeoutUnits);
    char scratch[kDrainChunk];
    BOOL readOk;
    DWORD got;
    do {
        got = 0;
        readOk = ReadFile(port, scratch, kDrainChunk, &got, nullptr);
    } while (readOk && got == kDrainChunk);

    // 0 means the old time-out is unknown or below 10 ms: the 50 ms stay.
    if (old != 0) SetReadTimeout(handle, old);
    return readOk ? kPortDone : kPortDrainFailed;
}

int32_t PortWrite(PortHandle handle, const char *chars, uint32_t count, uint32_t *written) {
    DWORD taken = 0;
    if (!WriteFile(ToHandle(handle), chars, count, &taken, nullptr)) return kPortIoFailed;
    if (written != nullptr) *written = taken;
    return taken == count ? kPortDone : kPortShortWrite;
}

int32_t PortRead(PortHandle handle, char *buffer, uint32_t count, uint32_t *received) {
    if (received != nullptr) *received = 0;
    uint32_t total = 0;
    do {
        // The request count is a 16-bit number: no request beyond 65535.
        DWORD request = static_cast<uint16_t>(count - total);
        DWORD got = 0;
        if (!ReadFile(ToHandle(handle), buffer + total, request, &got, nullptr)) return kPortIoFailed;
        // A read that ends with nothing has waited out the read time-out.
        if (got == 0) return kPortIoFailed;
        total += got;
        if (received != nullptr) *received = total;
    } while (total < count);
    return kPortDone;
}

int32_t SendBreak(uint32_t milliseconds, PortHandle handle) {
    SetCommBreak(ToHandle(handle));
    Sleep(milliseconds);
    ClearCommBreak(ToHandle(handle));
    return kPortDone;
}

int32_t PortDelay(uint32_t milliseconds) {
    Sleep(milliseconds);
    return kPortDone;
}
