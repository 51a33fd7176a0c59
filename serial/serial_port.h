// The serial port layer: the driver's only contact with the operating
// system's serial services. One API; the platform's file (serial_port_posix.cpp
// on Linux) implements it. The layer writes no log line; its callers do.
#pragma once

#include <cstdint>

#include "entry/qor_interface.h"

// The platform's handle of an open port; 0 stands for no port. On Linux it
// is the port's file descriptor plus one (descriptor 0 is a valid one).
using PortHandle = uint32_t;

// Status codes of the layer's operations (separate from the driver's results).
enum PortStatus : int32_t {
    kPortDone = 0,
    kPortNotOpened = 1,     // PortOpen: no such port, held elsewhere, time-outs refused
    kPortDrainFailed = 1,   // PurgeInput: the last drain read failed
    kPortShortWrite = 2,    // PortWrite: fewer characters taken than given
    kPortNotSerial = 4,     // PortOpen: the settings could not be read
    kPortBadSettings = 5,   // PortOpen: the port refused the settings
    kPortIoFailed = 7,      // PortClose, PortWrite, PortRead
};

// Every configured port starts with this read time-out.
constexpr int32_t kOpenReadTimeoutMs = 1000;

// Opens name for exclusive use and configures it. "NUL" is the null device,
// opened unconfigured. The handle is stored before any failure test.
// Names: "NUL" exactly is /dev/null; a name beginning with "/" is a device
// path; any other name is a device under /dev/ ("ttyUSB0").
int32_t PortOpen(const char *name, const LineSettings *line, uint16_t controlFlags,
                 PortHandle *handle);

// Opens a port from stored settings; the handle, or 0 when the open failed
// (also when the name fills its field without a terminating zero).
PortHandle OpenFromSettings(const PortSettings *settings);

int32_t PortClose(PortHandle handle);

// Sets the read time-out to 10 x units ms (0: reads wait without limit);
// answers the previous time-out in 10 ms units (truncated), or 0 when the
// platform refused (also for the null device, which has no time-out).
int32_t SetReadTimeout(PortHandle handle, int32_t units);

// Drains unread input; 0, or 1 when the last drain read failed.
int32_t PurgeInput(PortHandle handle);

int32_t PortWrite(PortHandle handle, const char *chars, uint32_t count, uint32_t *written);

// Reads count characters, each platform read bounded by the read time-out.
int32_t PortRead(PortHandle handle, char *buffer, uint32_t count, uint32_t *received);

int32_t SendBreak(uint32_t milliseconds, PortHandle handle);

int32_t PortDelay(uint32_t milliseconds);
