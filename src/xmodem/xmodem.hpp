// The built-in XMODEM-1K receiver: one file over the serial console line, CRC-16 blocks of 128
// or 1024 bytes, at 115200 bit/s raw 8N1. It switches the line to the download speed and back
// with the operator itself (serial_switch.hpp).
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Bits of the errors found while one frame was handled; any of them is answered ('C' before
// the first block, NAK or a cancel after it).
inline constexpr int ERR_EOT_UNCONFIRMED = 0x001;   // no EOT, block start or silence after the NAK
inline constexpr int ERR_TIMEOUT = 0x002;           // no frame start (or a frame byte) in time
inline constexpr int ERR_LONE_CAN = 0x004;          // a CAN without a second one
inline constexpr int ERR_CRC = 0x008;               // CRC-16 missing or not the data's
inline constexpr int ERR_NO_DATA = 0x010;           // a valid header, then not one data byte
inline constexpr int ERR_BLOCK_ZERO = 0x020;        // block 0 before the first block
inline constexpr int ERR_SEQUENCE = 0x040;          // neither the next block nor a repeat: cancel
inline constexpr int ERR_BLOCK_COMPLEMENT = 0x080;  // block number + complement is not 255
inline constexpr int ERR_EARLY_ACK = 0x100;         // an ACK before the first block

// The XMODEM CRC-16: polynomial 0x1021, start 0, not reflected, no final XOR. Entry i is the
// CRC of the single byte i.
inline constexpr std::array<std::uint16_t, 256> crctab = [] {
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
        table[i] = static_cast<std::uint16_t>(crc);
    }
    return table;
}();

constexpr std::uint16_t crc16_update(std::uint16_t crc, std::uint8_t byte) noexcept {
    return static_cast<std::uint16_t>((crc << 8) ^ crctab[((crc >> 8) ^ byte) & 0xFFU]);
}

static_assert(crctab[1] == 0x1021);
static_assert([] {
    std::uint16_t crc = 0;
    for (const char c : std::string_view("123456789")) {
        crc = crc16_update(crc, static_cast<std::uint8_t>(c));
    }
    return crc;
}() == 0x31C3);

// Receives one file into `filename` (created or emptied): the number of data bytes received
// (the sender's padding of the last block included; 0 for a transfer of no blocks), 0 when the
// transfer was cancelled or the file did not close (it keeps the blocks accepted before), -1
// when the serial line or the file could not be opened. The line is switched back before it
// returns.
int Xmodem1K(const char* filename);

// One byte from the non-blocking line within `timeout` seconds (up to timeout x 1000 waits of at
// most a millisecond after an empty read): 1 with the byte in *dest, or -1 on timeout with *dest
// left as it was. A read takes all that has arrived; the rest waits for the next calls.
int getByte(std::uint32_t timeout, std::uint8_t* dest, int fd);
// Writes one byte; the write's result.
ssize_t putByte(std::uint8_t byte, int fd);
// Drops what has arrived on the line so far (what the last read brought included); the last
// read's result.
ssize_t flushRX(int fd);
// Up to `count` data bytes into `dest`, until the count is reached or the line stays silent
// for a second: the number received, with their CRC-16 in *crc.
int readData(std::uint8_t* dest, int count, std::uint16_t* crc, int fd);
