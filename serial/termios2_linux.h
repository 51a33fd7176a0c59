// Arbitrary baud rates through the kernel's termios2 interface (BOTHER).
// Kept in its own translation unit because the kernel's struct termios2
// comes with <asm/termbits.h>, whose definitions collide with <termios.h>.
// Internal to the serial port layer.
#pragma once

#include <cstdint>

// Sets the output and input rate of the terminal fd to baud bits per
// second. Answers 0 when the port took exactly that rate, 1 when it chose
// another (the rate is out of the device's reach), -1 when a call failed.
int SetExactBaudRate(int fd, uint32_t baud);

// Reads the output and input rates of the terminal fd in bits per second,
// whatever way they were set. Answers 0, or -1 when the call failed.
int ReadBaudRates(int fd, uint32_t *output, uint32_t *input);
