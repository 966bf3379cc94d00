// The emulated devices behind the descriptors of devices.cpp. Not for use outside
// src/platform/sandbox.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "base/unique_fd.hpp"
#include "platform/platform.hpp"
#include "platform/sandbox/board.hpp"

namespace platform::sandbox::detail {

// One descriptor handed out by dev_open: the real descriptor of the backing file plus what the
// kernel would keep per open file.
struct OpenDevice {
    enum class Kind { mtd, i2c, cpld };
    Kind kind = Kind::mtd;
    base::UniqueFd fd;  // the backing file: closed with the entry of the device table
    bool readable = false;
    bool writable = false;
    off_t position = 0;                                      // cpld: the register lseek chose
    base::PartitionId partition = base::PartitionId::uboot;  // mtd
    int adapter = 0;                                         // i2c
    int address = -1;  // i2c: selected 7-bit address, -1 none yet
};

// Per-process state of the I2C bus and the CPLD, dropped by reload() (devices.cpp).
void reset_i2c();
void reset_cpld();

// MTD partitions (mtd_emulator.cpp). mtd_open returns the backing descriptor.
int mtd_open(base::PartitionId part, int flags);
ssize_t mtd_pread(const OpenDevice& dev, void* buf, std::size_t count, off_t offset);
ssize_t mtd_pwrite(const OpenDevice& dev, const void* buf, std::size_t count, off_t offset);
int mtd_getinfo(const OpenDevice& dev, MtdInfo* info);
int mtd_erase_range(const OpenDevice& dev, std::uint32_t start, std::uint32_t length);

// I2C adapters 0 and 1 (i2c_bus.cpp).
int i2c_open_adapter(int adapter, int flags);
int i2c_set_address(OpenDevice& dev, int address);
ssize_t i2c_plain_read(OpenDevice& dev, void* buf, std::size_t count);
ssize_t i2c_plain_write(OpenDevice& dev, const void* buf, std::size_t count);
std::int32_t i2c_smbus_read(OpenDevice& dev, std::uint8_t command);
std::int32_t i2c_smbus_write(OpenDevice& dev, std::uint8_t command, std::uint8_t value);

// CPLD register device (cpld_emulator.cpp).
int cpld_open(int flags);
ssize_t cpld_read(const OpenDevice& dev, void* buf, std::size_t count, off_t position);
ssize_t cpld_write(const OpenDevice& dev, const void* buf, std::size_t count, off_t position);
// Bit 0 of the control register, as the board files hold it now.
bool cpld_gate_open();

}  // namespace platform::sandbox::detail
