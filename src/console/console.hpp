// The operator's keys on the serial console (standard input): one key at a time, and a small
// line editor that echoes by itself and knows the VT100 cursor keys.
#pragma once

#include <cstdint>

// Reads one key with the console's line buffering and echo off for that one read only; the
// terminal's own settings are back before it returns. 0 when no byte could be read (an
// interrupted read, an error, end of input).
std::uint8_t uartGetC();

// Reads an edited line into `line` (`line_size` bytes, at most line_size - 1 characters,
// NUL-terminated, zero after the text) and returns `line`. The caller has printed and flushed
// its prompt. Ends on Enter, on byte 0x03 (" <break>"), or when the console input has ended.
char* get_user_input(char* line, unsigned line_size);

// True once standard input can deliver no byte any more (end of file, a hang-up, a lasting read
// error). On the board the console never ends; a caller that would ask again treats it as the
// operator quitting.
bool console_input_ended();
