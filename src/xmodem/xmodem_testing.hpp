// The receiver's transfer on a line that is already open, for the unit tests and the fuzz
// target, which run it on a line of their own instead of /dev/ttyS0.
#pragma once

#include <sys/types.h>

#include <cstdio>

struct XmodemOutcome {
    int bytes = 0;           // data bytes written to the file
    bool cancelled = false;  // the five CANs went out (or the sender cancelled)
};

// From the first invitation to the last answer on `fd` (the final ACK, or the five CANs and
// the drain after them); the blocks go to `file`. Neither is closed.
XmodemOutcome xmodem_receive(int fd, std::FILE* file);

// Waits up to `microseconds` for input on `fd`, less when a byte arrives sooner (poll on the
// line). The tests' own, on a virtual clock, replaces it at link time.
void wait_for_input(int fd, useconds_t microseconds);
