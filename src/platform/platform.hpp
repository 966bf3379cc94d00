// The seam between the launcher and the board.
//
// Everything that reaches hardware the workstation lacks goes through these calls and nothing
// else: the MTD partitions, the i2c-dev adapters and the CPLD register device, the two libi2c
// SMBus transactions, commands run through the shell, replacing the process, the drain of a
// serial line before a speed switch, and the clock.
// Two static libraries implement it and the link picks one:
//   mp_platform_linux    the board: real devices, real ioctls, real sleeps
//   mp_platform_sandbox  emulated flash, I2C and CPLD on the files of a sandbox board,
//                        a scaled clock, commands only ever run inside a board's jail
// There is no virtual dispatch on the board. Everything else (stdio, termios, sockets, stat,
// ordinary files) is the real operating system in both builds.
//
// The calls keep the shapes of the system calls they stand for: -1 and errno on failure.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace platform {

// ---- Devices: MTD partitions, I2C adapters, the CPLD register device ------------------------

// open(2) of a board device ("/dev/mtd-kernel", "/dev/i2c-0", "/dev/lamel/cpld_mmmap").
int dev_open(const char* path, int flags);
int dev_close(int fd);
ssize_t dev_read(int fd, void* buf, std::size_t count);
ssize_t dev_write(int fd, const void* buf, std::size_t count);
ssize_t dev_pread(int fd, void* buf, std::size_t count, off_t offset);
ssize_t dev_pwrite(int fd, const void* buf, std::size_t count, off_t offset);
off_t dev_lseek(int fd, off_t offset, int whence);

// MTD ioctls. Only the fields the launcher uses are carried across the seam.
struct MtdInfo {
    std::uint32_t size;       // total bytes of the partition
    std::uint32_t erasesize;  // bytes per erase block
};
int mtd_meminfo(int fd, MtdInfo* info);                               // MEMGETINFO
int mtd_memerase(int fd, std::uint32_t start, std::uint32_t length);  // MEMERASE

// i2c-dev: select the 7-bit slave address on an adapter descriptor (I2C_SLAVE).
int i2c_select(int fd, int address);
// libi2c's SMBus byte-data transactions: the data byte (0..255) or a negative value.
std::int32_t smbus_read_byte_data(int fd, std::uint8_t command);
// 0 on success, negative on failure.
std::int32_t smbus_write_byte_data(int fd, std::uint8_t command, std::uint8_t value);

// ---- Commands ---------------------------------------------------------------------------------

// system(3): runs the command line through /bin/sh and waits; the shell's status, or -1 when
// no shell could be started.
int run_system(const char* command);
// execlp(3) of a program with no further arguments; returns only on failure (-1).
int run_exec(const char* program);

// ---- Serial line -------------------------------------------------------------------------------

// Lets the output already written to a terminal line leave (tcdrain), then drops what is still
// queued on it. On the board's UART the drained output has left the chip, so only unread input
// is dropped (TCIOFLUSH). The sandbox board's line is a pseudo-terminal, where tcdrain returns at
// once and a TCIOFLUSH would discard the prompt the operator has not read yet: there only the
// input is dropped (TCIFLUSH), which is what the UART ends up doing. 0, or -1 and errno.
int serial_drain_flush(int fd);

// ---- Clock ------------------------------------------------------------------------------------

unsigned int clock_sleep(unsigned int seconds);
int clock_usleep(useconds_t microseconds);

}  // namespace platform
