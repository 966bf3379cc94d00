// The board's devices: MTD partitions, the i2c-dev adapters and the CPLD register device,
// reached with the plain system calls and the kernel's own ioctls.
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

// libi2c's header predates C++ callers and declares its functions without C linkage.
extern "C" {
#include <i2c/smbus.h>
}

#include "platform/linux/board_check.hpp"
#include "platform/platform.hpp"

namespace platform {

int dev_open(const char* path, int flags) {
    if (!board_check::on_board()) {
        errno = ENOENT;
        return -1;
    }
    return ::open(path, flags);
}

int dev_close(int fd) {
    return ::close(fd);
}

ssize_t dev_read(int fd, void* buf, std::size_t count) {
    return ::read(fd, buf, count);
}

ssize_t dev_write(int fd, const void* buf, std::size_t count) {
    return ::write(fd, buf, count);
}

ssize_t dev_pread(int fd, void* buf, std::size_t count, off_t offset) {
    return ::pread(fd, buf, count, offset);
}

ssize_t dev_pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
    return ::pwrite(fd, buf, count, offset);
}

off_t dev_lseek(int fd, off_t offset, int whence) {
    return ::lseek(fd, offset, whence);
}

int mtd_meminfo(int fd, MtdInfo* info) {
    if (info == nullptr) {
        errno = EFAULT;
        return -1;
    }
    mtd_info_user mtd{};
    const int result = ::ioctl(fd, MEMGETINFO, &mtd);
    // On failure the caller's record keeps what it held.
    if (result >= 0) {
        info->size = mtd.size;
        info->erasesize = mtd.erasesize;
    }
    return result;
}

int mtd_memerase(int fd, std::uint32_t start, std::uint32_t length) {
    erase_info_user erase{};
    erase.start = start;
    erase.length = length;
    return ::ioctl(fd, MEMERASE, &erase);
}

int i2c_select(int fd, int address) {
    // i2c-dev takes the address as the ioctl's argument itself, not through a pointer.
    return ::ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(address));
}

std::int32_t smbus_read_byte_data(int fd, std::uint8_t command) {
    return ::i2c_smbus_read_byte_data(fd, command);
}

std::int32_t smbus_write_byte_data(int fd, std::uint8_t command, std::uint8_t value) {
    return ::i2c_smbus_write_byte_data(fd, command, value);
}

}  // namespace platform
