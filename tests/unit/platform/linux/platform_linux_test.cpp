// The board's platform against stand-ins for its system calls, bound by the linker's --wrap:
// board device paths, their descriptors and every command stay here and are recorded, one line
// per request; only the test framework's own files and descriptors reach the real calls.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/board_check.hpp"
#include "platform/platform.hpp"

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real___open_2(const char* path, int flags);
int __real___open64_2(const char* path, int flags);
int __real_stat(const char* path, struct stat* st);
int __real_stat64(const char* path, struct stat64* st);
int __real_ioctl(int fd, unsigned long request, ...);
}

namespace {

// Descriptors handed out for board devices, far above any real one of the process.
constexpr int kFirstFd = 4000;
constexpr const char* kCpld = "/dev/lamel/cpld_mmmap";

struct Kernel {
    int cpld_stat_errno = 0;  // of a failing stat of the CPLD device
    mode_t cpld_mode = S_IFCHR | 0600;
    int cpld_stats = 0;
    std::vector<std::string> calls;
    int next_fd = kFirstFd;
    int result = 0;  // of the next ioctl, SMBus transaction or command
    int error = 0;   // errno of the next ioctl or exec
    mtd_info_user meminfo{};
} kernel;

bool is_board_device(const char* path) {
    const std::string_view p = path != nullptr ? path : "";
    return p.starts_with("/dev/mtd") || p.starts_with("/dev/i2c") || p.starts_with("/dev/lamel/");
}

__attribute__((format(printf, 2, 3))) int record(int result, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    // The analyzer loses track of va_start on the wrapped calls' paths.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    kernel.calls.emplace_back(line);
    errno = kernel.error;
    return result;
}

template <typename Real>
int open_device(const char* path, int flags, Real real) {
    if (!is_board_device(path)) {
        return real();
    }
    return record(kernel.next_fd++, "open %s flags 0x%x", path, static_cast<unsigned>(flags));
}

template <typename Stat, typename Real>
int stat_device(const char* path, Stat* st, Real real) {
    if (!is_board_device(path)) {
        return real();
    }
    const bool cpld = std::strcmp(path, kCpld) == 0;
    kernel.cpld_stats += cpld ? 1 : 0;
    if (!cpld || kernel.cpld_stat_errno != 0) {
        errno = cpld ? kernel.cpld_stat_errno : ENOENT;
        return -1;
    }
    *st = Stat{};
    st->st_mode = kernel.cpld_mode;
    return 0;
}

mode_t mode_of(int flags, va_list args) {
    const bool has_mode = (flags & (O_CREAT | O_TMPFILE)) != 0;
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    return has_mode ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    return open_device(path, flags, [&] { return __real_open(path, flags, mode); });
}

int __wrap_open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    return open_device(path, flags, [&] { return __real_open64(path, flags, mode); });
}

// What open() becomes with _FORTIFY_SOURCE.
int __wrap___open_2(const char* path, int flags) {
    return open_device(path, flags, [&] { return __real___open_2(path, flags); });
}

int __wrap___open64_2(const char* path, int flags) {
    return open_device(path, flags, [&] { return __real___open64_2(path, flags); });
}

int __wrap_stat(const char* path, struct stat* st) {
    return stat_device(path, st, [&] { return __real_stat(path, st); });
}

int __wrap_stat64(const char* path, struct stat64* st) {
    return stat_device(path, st, [&] { return __real_stat64(path, st); });
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* const arg = va_arg(args, void*);
    va_end(args);
    const bool board_request = request == MEMGETINFO || request == MEMERASE || request == I2C_SLAVE;
    // The board's own requests never reach the host's kernel, whatever the descriptor.
    if (fd < kFirstFd && !board_request) {
        return __real_ioctl(fd, request, arg);
    }
    if (request == MEMGETINFO) {
        if (kernel.result >= 0) {
            *static_cast<mtd_info_user*>(arg) = kernel.meminfo;
        }
        return record(kernel.result, "%d: MEMGETINFO", fd);
    }
    if (request == MEMERASE) {
        const auto* erase = static_cast<const erase_info_user*>(arg);
        return record(kernel.result, "%d: MEMERASE start 0x%x length 0x%x", fd, erase->start,
                      erase->length);
    }
    if (request == I2C_SLAVE) {
        return record(kernel.result, "%d: I2C_SLAVE 0x%02lx", fd,
                      reinterpret_cast<unsigned long>(arg));
    }
    record(-1, "%d: ioctl 0x%lx", fd, request);
    errno = ENOTTY;
    return -1;
}

std::int32_t __wrap_i2c_smbus_read_byte_data(int fd, std::uint8_t command) {
    return record(kernel.result, "%d: SMBus read command %u", fd, command);
}

std::int32_t __wrap_i2c_smbus_write_byte_data(int fd, std::uint8_t command, std::uint8_t value) {
    return record(kernel.result, "%d: SMBus write command %u data %u", fd, command, value);
}

// A command line never reaches a shell from here. The pending count shows whether the caller
// flushed what it had printed.
int __wrap_system(const char* command) {
    return record(kernel.result, "system %s (stdout pending %zu)",
                  command != nullptr ? command : "(null)", __fpending(stdout));
}

// The serial line's drain and flush: recorded, never applied to a real terminal.
int __wrap_tcdrain(int fd) {
    return record(0, "%d: tcdrain", fd);
}

int __wrap_tcflush(int fd, int queue) {
    return record(0, "%d: tcflush %s", fd,
                  queue == TCIOFLUSH  ? "TCIOFLUSH"
                  : queue == TCIFLUSH ? "TCIFLUSH"
                                      : "other");
}

int __wrap_execlp(const char* file, const char* arg, ...) {
    std::string line = file;
    va_list args;
    va_start(args, arg);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    for (const char* a = arg; a != nullptr; a = va_arg(args, const char*)) {
        line += std::string(" ") + a;
    }
    va_end(args);
    return record(-1, "execlp %s (stdout pending %zu)", line.c_str(), __fpending(stdout));
}

}  // extern "C"

namespace {

using testing::ElementsAre;
using testing::IsEmpty;

std::string open_line(const char* path, int flags) {
    char line[128];
    std::snprintf(line, sizeof line, "open %s flags 0x%x", path, static_cast<unsigned>(flags));
    return line;
}

// Standard error goes into a pipe for the test: the refusal line fits its buffer, and no file
// of the host is involved.
class PlatformLinux : public testing::Test {
protected:
    void SetUp() override {
        kernel = Kernel{};
        platform::board_check::forget();
        ASSERT_EQ(::pipe2(pipe_, O_NONBLOCK), 0);
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(pipe_[1], STDERR_FILENO);
        ::close(pipe_[1]);
    }
    void TearDown() override {
        said();
        ::close(pipe_[0]);
    }
    std::string said() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            saved_ = -1;
        }
        std::string out;
        char buf[256];
        for (ssize_t n; (n = ::read(pipe_[0], buf, sizeof buf)) > 0;) {
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }
    int pipe_[2] = {-1, -1};
    int saved_ = -1;
};

using OffTheBoard = PlatformLinux;
using OnTheBoard = PlatformLinux;

TEST_F(OffTheBoard, CpldNotACharacterDeviceRefusesEveryOpenAndCommandAfterOneLine) {
    kernel.cpld_mode = S_IFREG | 0644;
    errno = 0;
    EXPECT_EQ(platform::dev_open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(platform::dev_open("/dev/mtd-kernel", O_RDWR | O_SYNC), -1);
    EXPECT_EQ(platform::run_system("reboot"), -1);
    errno = 0;
    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(platform::dev_open(kCpld, O_RDWR), -1);
    // system(NULL) asks for a shell: there is none to offer here.
    EXPECT_EQ(platform::run_system(nullptr), 0);

    EXPECT_THAT(kernel.calls, IsEmpty());
    EXPECT_EQ(kernel.cpld_stats, 1);
    EXPECT_EQ(said(),
              "mplaunch: /dev/lamel/cpld_mmmap is not a character device: not on the board, "
              "devices and commands disabled\n");
}

TEST_F(OffTheBoard, MissingCpldDeviceRefusesACommandFirstOfAll) {
    kernel.cpld_stat_errno = ENOENT;
    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(platform::run_system("flash_eraseall /dev/mtd-user"), -1);
    EXPECT_EQ(platform::dev_open("/dev/mtd-rescue", O_RDWR), -1);
    EXPECT_THAT(kernel.calls, IsEmpty());
    EXPECT_EQ(said(),
              "mplaunch: cannot stat /dev/lamel/cpld_mmmap (No such file or directory): not on "
              "the board, devices and commands disabled\n");
}

// Opens go through with their flags after one look at the CPLD device; MEMGETINFO leaves the
// caller's record alone on failure; MEMERASE ranges and SMBus results travel unchanged.
TEST_F(OnTheBoard, DeviceRequestsReachTheKernelExactly) {
    EXPECT_EQ(platform::dev_open("/dev/mtd-kernel", O_RDWR | O_SYNC), kFirstFd);
    EXPECT_EQ(platform::dev_open("/dev/mtd-rescue", O_RDWR), kFirstFd + 1);
    EXPECT_EQ(platform::dev_open(kCpld, O_RDWR), kFirstFd + 2);
    const int i2c = platform::dev_open("/dev/i2c-0", O_RDWR);

    kernel.meminfo = {MTD_NORFLASH, 0, 0x300000, 0x20000, 1, 0, 0};
    platform::MtdInfo info{};
    EXPECT_EQ(platform::mtd_meminfo(kFirstFd, &info), 0);
    EXPECT_EQ(info.size, 0x300000u);
    EXPECT_EQ(info.erasesize, 0x20000u);
    EXPECT_EQ(platform::mtd_memerase(kFirstFd, 0x20000, 0x20000), 0);
    // The top of a 4 GiB address space: the range must travel as unsigned 32-bit values.
    EXPECT_EQ(platform::mtd_memerase(kFirstFd, 0xFFFE0000u, 0x20000), 0);
    EXPECT_EQ(platform::i2c_select(i2c, 0x54), 0);
    EXPECT_EQ(platform::smbus_write_byte_data(i2c, 59, 4), 0);
    kernel.result = 0xA5;
    EXPECT_EQ(platform::smbus_read_byte_data(i2c, 1), 0xA5);

    kernel.result = -EREMOTEIO;  // a NAK
    EXPECT_EQ(platform::smbus_write_byte_data(i2c, 0x87, 0x55), -EREMOTEIO);
    EXPECT_EQ(platform::smbus_read_byte_data(i2c, 0xFF), -EREMOTEIO);
    kernel.result = -1;
    kernel.error = EIO;
    EXPECT_EQ(platform::mtd_memerase(kFirstFd, 0x40000, 0x60000), -1);
    EXPECT_EQ(errno, EIO);
    platform::MtdInfo kept{7, 9};
    EXPECT_EQ(platform::mtd_meminfo(kFirstFd, &kept), -1);
    EXPECT_EQ(kept.size, 7u);
    EXPECT_EQ(kept.erasesize, 9u);

    EXPECT_THAT(
        kernel.calls,
        ElementsAre(open_line("/dev/mtd-kernel", O_RDWR | O_SYNC),
                    open_line("/dev/mtd-rescue", O_RDWR), open_line(kCpld, O_RDWR),
                    open_line("/dev/i2c-0", O_RDWR), "4000: MEMGETINFO",
                    "4000: MEMERASE start 0x20000 length 0x20000",
                    "4000: MEMERASE start 0xfffe0000 length 0x20000", "4003: I2C_SLAVE 0x54",
                    "4003: SMBus write command 59 data 4", "4003: SMBus read command 1",
                    "4003: SMBus write command 135 data 85", "4003: SMBus read command 255",
                    "4000: MEMERASE start 0x40000 length 0x60000", "4000: MEMGETINFO"));
    EXPECT_EQ(kernel.cpld_stats, 1);
    EXPECT_EQ(said(), "");
}

TEST_F(OnTheBoard, CommandsRunAfterStdoutIsFlushed) {
    kernel.result = 256;  // the shell's status: the command exited with 1
    std::fputs("Mounting /user ... ", stdout);
    EXPECT_EQ(platform::run_system("mount -t jffs2 /dev/mtdblock7 /user"), 256);
    kernel.error = EACCES;
    std::fputs("Starting backtrace ", stdout);
    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_THAT(kernel.calls,
                ElementsAre("system mount -t jffs2 /dev/mtdblock7 /user (stdout pending 0)",
                            "execlp /bin/backtrace /bin/backtrace (stdout pending 0)"));
    EXPECT_EQ(kernel.cpld_stats, 1);
    std::fputs("\n", stdout);
}

// On the board's UART the drained output has left: the flush may drop both queues.
TEST_F(OnTheBoard, SerialLineIsDrainedThenBothQueuesFlushed) {
    EXPECT_EQ(platform::serial_drain_flush(7), 0);
    EXPECT_THAT(kernel.calls, ElementsAre("7: tcdrain", "7: tcflush TCIOFLUSH"));
}

}  // namespace
