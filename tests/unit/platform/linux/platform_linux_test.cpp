// The board's platform against stand-ins for its system calls (ld --wrap): board devices,
// their descriptors and commands stay here, one recorded line per request.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/linux/board_check.hpp"
#include "platform/platform.hpp"

extern "C" int __real_open64(const char* path, int flags, ...);
extern "C" int __real_stat64(const char* path, struct stat64* st);
extern "C" int __real_ioctl(int fd, unsigned long request, ...);

namespace {

constexpr int kFd = 4000;  // the first board descriptor, far above any real one
struct Kernel {
    int cpld_errno = 0;  // of stat("/dev/lamel/cpld_mmmap"), 0: a character device
    std::vector<std::string> calls;
    int next_fd = kFd;
    int result = 0;  // of the next ioctl, SMBus transaction or command
    int error = 0;
} kernel;

bool board_path(const char* p) {
    const std::string s = p;
    return s.starts_with("/dev/mtd") || s.starts_with("/dev/i2c") || s.starts_with("/dev/lamel");
}

__attribute__((format(printf, 2, 3))) int record(int result, const char* format, ...) {
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);  // NOLINT(clang-analyzer-valist.*)
    va_end(args);
    kernel.calls.emplace_back(line);
    errno = kernel.error;
    return result;
}

}  // namespace

extern "C" {
int __wrap_open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, int) : 0;
    va_end(args);
    return board_path(path) ? record(kernel.next_fd++, "open %s 0x%x", path, unsigned(flags))
                            : __real_open64(path, flags, mode);
}
int __wrap_stat64(const char* path, struct stat64* st) {
    if (!board_path(path)) {
        return __real_stat64(path, st);
    }
    kernel.calls.emplace_back(std::string("stat ") + path);
    *st = {};
    st->st_mode = kernel.cpld_errno == EEXIST ? S_IFREG : S_IFCHR;
    errno = kernel.cpld_errno;
    return kernel.cpld_errno != 0 && kernel.cpld_errno != EEXIST ? -1 : 0;
}
int __wrap_ioctl(int fd, unsigned long request, void* arg) {
    if (request == MEMGETINFO) {
        *static_cast<mtd_info_user*>(arg) = {MTD_NORFLASH, 0, 0x300000, 0x20000, 1, 0, 0};
        return record(kernel.result, "%d MEMGETINFO", fd);
    }
    if (request == MEMERASE) {
        const auto* e = static_cast<erase_info_user*>(arg);
        return record(kernel.result, "%d MEMERASE 0x%x+0x%x", fd, e->start, e->length);
    }
    if (request == I2C_SLAVE) {
        return record(kernel.result, "%d I2C_SLAVE 0x%lx", fd,
                      reinterpret_cast<unsigned long>(arg));
    }
    return fd < kFd ? __real_ioctl(fd, request, arg) : record(-1, "%d ioctl 0x%lx", fd, request);
}
std::int32_t __wrap_i2c_smbus_read_byte_data(int fd, std::uint8_t command) {
    return record(kernel.result, "%d SMBus read %u", fd, command);
}
std::int32_t __wrap_i2c_smbus_write_byte_data(int fd, std::uint8_t command, std::uint8_t value) {
    return record(kernel.result, "%d SMBus write %u %u", fd, command, value);
}
// The pending count shows whether the caller flushed what it had printed.
int __wrap_system(const char* command) {
    return record(kernel.result, "system %s pending %zu", command, __fpending(stdout));
}
int __wrap_execlp(const char* file, const char* arg, const char* end) {
    return record(-1, "execlp %s %s %s pending %zu", file, arg, end == nullptr ? "." : "?",
                  __fpending(stdout));
}
int __wrap_tcdrain(int fd) {
    return record(0, "%d tcdrain", fd);
}
int __wrap_tcflush(int fd, int queue) {
    return record(0, "%d tcflush %s", fd, queue == TCIOFLUSH ? "TCIOFLUSH" : "other");
}
}  // extern "C"

namespace {

using testing::ElementsAre;

class PlatformLinux : public testing::Test {
protected:
    void SetUp() override {
        kernel = Kernel{};
        platform::board_check::forget();
    }
};

// Without the CPLD's character device nothing reaches a device or a shell, whatever comes first.
TEST_F(PlatformLinux, OffTheBoardNothingRuns) {
    for (const int cpld : {ENOENT, EEXIST /* a regular file */}) {
        SetUp();
        kernel.cpld_errno = cpld;
        EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(platform::run_system("reboot"), -1);
        EXPECT_EQ(platform::run_system(nullptr), 0) << "system(NULL): no shell to offer";
        EXPECT_EQ(platform::dev_open("/dev/mtd-rescue", O_RDWR), -1);
        EXPECT_THAT(kernel.calls, ElementsAre("stat /dev/lamel/cpld_mmmap"));
    }
}

TEST_F(PlatformLinux, OnTheBoardRequestsReachTheKernelExactly) {
    const int mtd = platform::dev_open("/dev/mtd-kernel", O_RDWR | O_SYNC);
    const int i2c = platform::dev_open("/dev/i2c-0", O_RDWR);
    platform::MtdInfo info{};
    EXPECT_EQ(platform::mtd_meminfo(mtd, &info), 0);
    EXPECT_EQ(info.size, 0x300000u);
    EXPECT_EQ(info.erasesize, 0x20000u);
    EXPECT_EQ(platform::mtd_memerase(mtd, 0xFFFE0000u, 0x20000), 0);
    EXPECT_EQ(platform::i2c_select(i2c, 0x54), 0);
    EXPECT_EQ(platform::smbus_write_byte_data(i2c, 59, 4), 0);
    kernel.result = -EREMOTEIO;
    EXPECT_EQ(platform::smbus_read_byte_data(i2c, 1), -EREMOTEIO);
    kernel.result = -1;
    platform::MtdInfo kept{7, 9};
    EXPECT_EQ(platform::mtd_meminfo(mtd, &kept), -1);
    EXPECT_EQ(kept.size, 7u) << "a failed MEMGETINFO leaves the caller's record alone";
    kernel.result = 256;
    std::fputs("Mounting ", stdout);
    EXPECT_EQ(platform::run_system("mount /user"), 256);
    kernel.error = EACCES;
    std::fputs("Starting ", stdout);
    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(platform::serial_drain_flush(7), 0);
    std::fputs("\n", stdout);
    EXPECT_THAT(
        kernel.calls,
        ElementsAre("stat /dev/lamel/cpld_mmmap", "open /dev/mtd-kernel 0x101002",
                    "open /dev/i2c-0 0x2", "4000 MEMGETINFO", "4000 MEMERASE 0xfffe0000+0x20000",
                    "4001 I2C_SLAVE 0x54", "4001 SMBus write 59 4", "4001 SMBus read 1",
                    "4000 MEMGETINFO", "system mount /user pending 0",
                    "execlp /bin/backtrace /bin/backtrace . pending 0", "7 tcdrain",
                    "7 tcflush TCIOFLUSH"));
}

}  // namespace
