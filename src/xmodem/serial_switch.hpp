// The serial line switched to the download speed and back, in step with the operator, who
// changes the terminal program's speed and presses Enter each time.
#pragma once

// Opens /dev/ttyS0, keeps its settings, switches it to raw 8N1 at 115200 bit/s and waits for a
// carriage return at the new speed: the open descriptor, or -1 when the port cannot be opened.
int init_serial();

// Once the line has been silent for a second (the sender has let go of it), or after five seconds
// of a line that never falls silent, asks for the switch back, puts the kept settings back on
// `fd` and waits for a line feed. Does not close `fd`. Only
// for the descriptor of a successful init_serial.
void reset_serial(int fd);
