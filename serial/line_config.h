// How the port's line settings and control flags become termios settings,
// and where the port keeps its read time-out. Pure functions on a termios
// record, so that the mapping can be checked without a device (a
// pseudo-terminal forces 8 data bits and drops parity, so those cannot be
// read back from one). Internal to the serial port layer.
#pragma once

#include <termios.h>

#include <cstdint>

#include "entry/qor_interface.h"
#include "serial/serial_port.h"

// How a modem-control line is driven while the port is open.
enum DtrMode : uint8_t { kDtrOff, kDtrOn, kDtrHandshake };
enum RtsMode : uint8_t { kRtsOff, kRtsOn, kRtsHandshake, kRtsToggle };

// Each line takes the first row of its group whose bits meet the flags.
constexpr DtrMode DtrModeFor(uint16_t controlFlags) {
    if (controlFlags & QOR_DTR_ENABLE) return kDtrOn;
    if (controlFlags & QOR_DTR_HANDSHAKE) return kDtrHandshake;
    return kDtrOff;
}

constexpr RtsMode RtsModeFor(uint16_t controlFlags) {
    if (controlFlags & QOR_RTS_ENABLE) return kRtsOn;
    if (controlFlags & QOR_RTS_HANDSHAKE) return kRtsHandshake;
    if (controlFlags & QOR_RTS_TOGGLE) return kRtsToggle;
    return kRtsOff;
}

// The termios speed constant of a rate the baud word can carry, or B0 for a
// rate without one (such rates go through termios2, see termios2_linux.h).
constexpr speed_t StandardSpeed(uint32_t baud) {
    switch (baud) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        default: return B0;
    }
}

// Turns the settings the port reported into the OPTOLINK line's: a raw line
// (no canonical input, echo, signals, XON/XOFF or CR/NL translation), the
// receiver on, modem status ignored (CLOCAL), the character format of the
// line settings, RTS/CTS flow control only for an RTS handshake, and the
// speed when it is a standard rate. Everything else stays as read, among it
// the control characters (the read time-out lives in some of them).
// Answers kPortDone, or kPortBadSettings for a baud word of 0, data bits
// outside 5..8, a parity code above 4 or a stop-bits code above 2; only the
// low 8 bits of the three codes count. A refused record leaves *settings
// unchanged.
inline int32_t ConfigureTermios(termios *settings, const LineSettings *line,
                                uint16_t controlFlags) {
    const uint32_t baud = line->baud;
    const unsigned dataBits = line->dataBits & 0xFFu;
    const unsigned parity = line->parity & 0xFFu;
    const unsigned stopBits = line->stopBits & 0xFFu;
    if (baud == 0) return kPortBadSettings;  // B0 would hang the line up

    tcflag_t size = 0;
    switch (dataBits) {
        case 5: size = CS5; break;
        case 6: size = CS6; break;
        case 7: size = CS7; break;
        case 8: size = CS8; break;
        default: return kPortBadSettings;
    }

    tcflag_t parityBits = 0;
    switch (parity) {
        case 0: break;                                             // none
        case 1: parityBits = PARENB | PARODD; break;               // odd
        case 2: parityBits = PARENB; break;                        // even
        case 3: parityBits = PARENB | CMSPAR | PARODD; break;      // mark
        case 4: parityBits = PARENB | CMSPAR; break;               // space
        default: return kPortBadSettings;
    }

    // Code 1 asks for one and a half stop bits, which termios cannot name.
    // CSTOPB is the nearest: a UART sends 1.5 stop bits with 5 data bits
    // when asked for two, and two with longer characters.
    tcflag_t stopBit = 0;
    switch (stopBits) {
        case 0: break;
        case 1:
        case 2: stopBit = CSTOPB; break;
        default: return kPortBadSettings;
    }

    settings->c_iflag &= ~(tcflag_t)(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                     IGNCR | ICRNL | IUCLC | IXON | IXANY | IXOFF | IMAXBEL);
    if (parityBits != 0) settings->c_iflag |= INPCK;

    settings->c_oflag &= ~(tcflag_t)OPOST;

    settings->c_lflag &= ~(tcflag_t)(ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE |
                                     ICANON | ISIG | IEXTEN | TOSTOP);

    settings->c_cflag &= ~(tcflag_t)(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings->c_cflag |= size | parityBits | stopBit | CREAD | CLOCAL;
    if (RtsModeFor(controlFlags) == kRtsHandshake) settings->c_cflag |= CRTSCTS;

    // Reads never block in the line discipline: they take what is there, and
    // the layer does the waiting itself (poll with the port's time-out).
    settings->c_cc[VMIN] = 0;
    settings->c_cc[VTIME] = 0;

    const speed_t speed = StandardSpeed(baud);
    if (speed != B0) cfsetspeed(settings, speed);
    return kPortDone;
}

// The port's read time-out in milliseconds, 32 bits, is kept in the port's
// own termios, so that it lives in the kernel's port object like the rest
// of the port's state and the layer holds nothing per handle. VTIME cannot
// hold it: it counts tenths of a second and stops at 25.5 s. Four
// control-character slots that a raw line never uses hold its bytes, low
// byte first: VEOF, VEOL, VEOL2 and VKILL act only with ICANON, which the
// layer keeps off, so the line discipline ignores what they hold. VSTART and
// VSTOP are avoided (some USB serial drivers program them into the chip),
// and so are VINTR, VQUIT and VSUSP (ISIG) and VMIN/VTIME, which stay 0.
constexpr int kReadTimeoutSlots[4] = {VEOF, VEOL, VEOL2, VKILL};

static_assert(VEOF != VMIN && VEOF != VTIME && VEOL != VMIN && VEOL != VTIME &&
                  VEOL2 != VMIN && VEOL2 != VTIME && VKILL != VMIN && VKILL != VTIME,
              "the time-out slots must not overlap VMIN and VTIME");
static_assert(VEOF != VEOL && VEOF != VEOL2 && VEOF != VKILL && VEOL != VEOL2 &&
                  VEOL != VKILL && VEOL2 != VKILL,
              "the time-out slots must be four distinct slots");

constexpr uint32_t ReadTimeoutOf(const termios &settings) {
    uint32_t milliseconds = 0;
    for (int i = 3; i >= 0; --i) {
        milliseconds = (milliseconds << 8) | settings.c_cc[kReadTimeoutSlots[i]];
    }
    return milliseconds;
}

constexpr void StoreReadTimeout(termios *settings, uint32_t milliseconds) {
    for (int i = 0; i < 4; ++i) {
        settings->c_cc[kReadTimeoutSlots[i]] = (cc_t)(milliseconds >> (8 * i));
    }
}
