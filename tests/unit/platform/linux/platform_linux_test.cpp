// The board's platform against a recording stand-in kernel (fake_kernel.cpp): the exact MTD,
// i2c-dev and SMBus requests it issues, and the on-board check that keeps a workstation safe.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "fake_kernel.hpp"
#include "platform/linux/board_check.hpp"
#include "platform/platform.hpp"

using testing::ElementsAre;
using testing::IsEmpty;

namespace {

// Standard error into a pipe for the duration of a test: the refusal line is short enough for
// the pipe's buffer, and no file of the host is involved.
class StderrCapture {
public:
    StderrCapture() {
        EXPECT_EQ(::pipe2(pipe_, O_NONBLOCK), 0);
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        ::dup2(pipe_[1], STDERR_FILENO);
    }
    ~StderrCapture() {
        restore();
        ::close(pipe_[0]);
    }
    std::string text() {
        restore();
        std::string out;
        char buf[256];
        for (ssize_t n; (n = ::read(pipe_[0], buf, sizeof buf)) > 0;) {
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    void restore() {
        if (saved_ >= 0) {
            std::fflush(stderr);
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
            ::close(pipe_[1]);
            saved_ = -1;
        }
    }
    int pipe_[2] = {-1, -1};
    int saved_ = -1;
};

std::string open_line(const char* path, int flags) {
    char line[128];
    std::snprintf(line, sizeof line, "open %s flags 0x%x", path, static_cast<unsigned>(flags));
    return line;
}

class PlatformLinux : public testing::Test {
protected:
    void SetUp() override {
        fake_kernel::reset();
        platform::board_check::forget();
    }
    fake_kernel::State& kernel = fake_kernel::state();
    StderrCapture stderr_;
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
    EXPECT_EQ(platform::dev_open("/dev/lamel/cpld_mmmap", O_RDWR), -1);
    // system(NULL) asks for a shell: there is none to offer here.
    EXPECT_EQ(platform::run_system(nullptr), 0);

    EXPECT_THAT(kernel.calls, IsEmpty());
    EXPECT_EQ(kernel.cpld_stats, 1);
    EXPECT_EQ(stderr_.text(),
              "mplaunch: /dev/lamel/cpld_mmmap is not a character device: not on the board, "
              "devices and commands disabled\n");
}

TEST_F(OffTheBoard, MissingCpldDeviceRefusesACommandFirstOfAll) {
    kernel.cpld_stat_errno = ENOENT;

    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(platform::run_system("flash_eraseall /dev/mtd-user"), -1);
    EXPECT_EQ(platform::dev_open("/dev/mtd-rescue", O_RDWR), -1);

    EXPECT_THAT(kernel.calls, IsEmpty());
    EXPECT_EQ(stderr_.text(),
              "mplaunch: cannot stat /dev/lamel/cpld_mmmap (No such file or directory): not on "
              "the board, devices and commands disabled\n");
}

TEST_F(OnTheBoard, DeviceOpensGoThroughWithTheirFlagsAndTheBoardIsCheckedOnce) {
    const int kernel_fd = platform::dev_open("/dev/mtd-kernel", O_RDWR | O_SYNC);
    const int rescue_fd = platform::dev_open("/dev/mtd-rescue", O_RDWR);
    const int cpld_fd = platform::dev_open("/dev/lamel/cpld_mmmap", O_RDWR);

    EXPECT_EQ(kernel_fd, fake_kernel::kFirstFd);
    EXPECT_EQ(rescue_fd, fake_kernel::kFirstFd + 1);
    EXPECT_EQ(cpld_fd, fake_kernel::kFirstFd + 2);
    EXPECT_THAT(kernel.calls, ElementsAre(open_line("/dev/mtd-kernel", O_RDWR | O_SYNC),
                                          open_line("/dev/mtd-rescue", O_RDWR),
                                          open_line("/dev/lamel/cpld_mmmap", O_RDWR)));
    EXPECT_EQ(kernel.cpld_stats, 1);
    EXPECT_EQ(stderr_.text(), "");
}

TEST_F(OnTheBoard, MemGetInfoCarriesSizeAndEraseSizeAndLeavesThemAloneOnFailure) {
    const int fd = platform::dev_open("/dev/mtd-kernel", O_RDWR | O_SYNC);
    kernel.meminfo.type = MTD_NORFLASH;
    kernel.meminfo.size = 0x300000;
    kernel.meminfo.erasesize = 0x20000;
    kernel.meminfo.writesize = 1;

    platform::MtdInfo info{};
    EXPECT_EQ(platform::mtd_meminfo(fd, &info), 0);
    EXPECT_EQ(info.size, 0x300000u);
    EXPECT_EQ(info.erasesize, 0x20000u);

    kernel.ioctl_result = -1;
    kernel.ioctl_errno = ENOTTY;
    platform::MtdInfo kept{7, 9};
    errno = 0;
    EXPECT_EQ(platform::mtd_meminfo(fd, &kept), -1);
    EXPECT_EQ(errno, ENOTTY);
    EXPECT_EQ(kept.size, 7u);
    EXPECT_EQ(kept.erasesize, 9u);

    EXPECT_THAT(kernel.calls, ElementsAre(open_line("/dev/mtd-kernel", O_RDWR | O_SYNC),
                                          "4000: MEMGETINFO", "4000: MEMGETINFO"));
}

TEST_F(OnTheBoard, MemEraseAsksForTheExactRange) {
    const int fd = platform::dev_open("/dev/mtd-rfs", O_RDWR | O_SYNC);
    EXPECT_EQ(platform::mtd_memerase(fd, 0x20000, 0x20000), 0);
    // The top of a 4 GiB address space: the range must travel as unsigned 32-bit values.
    EXPECT_EQ(platform::mtd_memerase(fd, 0xFFFE0000u, 0x20000), 0);
    kernel.ioctl_result = -1;
    kernel.ioctl_errno = EIO;
    EXPECT_EQ(platform::mtd_memerase(fd, 0x40000, 0x60000), -1);
    EXPECT_EQ(errno, EIO);

    EXPECT_THAT(kernel.calls, ElementsAre(open_line("/dev/mtd-rfs", O_RDWR | O_SYNC),
                                          "4000: MEMERASE start 0x20000 length 0x20000",
                                          "4000: MEMERASE start 0xfffe0000 length 0x20000",
                                          "4000: MEMERASE start 0x40000 length 0x60000"));
}

TEST_F(OnTheBoard, I2cSelectsTheAddressAndIssuesTheSmbusByteTransactions) {
    const int fd = platform::dev_open("/dev/i2c-0", O_RDWR);

    EXPECT_EQ(platform::i2c_select(fd, 0x54), 0);
    kernel.smbus_write_result = 0;
    EXPECT_EQ(platform::smbus_write_byte_data(fd, 59, 4), 0);
    kernel.smbus_read_result = 0xA5;
    EXPECT_EQ(platform::smbus_read_byte_data(fd, 1), 0xA5);

    // A NAK: the negative results come back unchanged.
    kernel.smbus_write_result = -EREMOTEIO;
    EXPECT_EQ(platform::smbus_write_byte_data(fd, 0x87, 0x55), -EREMOTEIO);
    kernel.smbus_read_result = -1;
    EXPECT_EQ(platform::smbus_read_byte_data(fd, 0xFF), -1);

    EXPECT_THAT(
        kernel.calls,
        ElementsAre(open_line("/dev/i2c-0", O_RDWR), "4000: I2C_SLAVE 0x54",
                    "4000: SMBus write command 59 data 4", "4000: SMBus read command 1",
                    "4000: SMBus write command 135 data 85", "4000: SMBus read command 255"));
}

TEST_F(OnTheBoard, CommandsRunAfterStdoutIsFlushed) {
    kernel.system_result = 256;  // the shell's status: the command exited with 1
    std::fputs("Mounting /user ... ", stdout);
    EXPECT_EQ(platform::run_system("mount -t jffs2 /dev/mtdblock7 /user"), 256);

    kernel.exec_errno = EACCES;
    std::fputs("Starting backtrace ", stdout);
    errno = 0;
    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(errno, EACCES);

    EXPECT_THAT(kernel.calls,
                ElementsAre("system mount -t jffs2 /dev/mtdblock7 /user (stdout pending 0)",
                            "execlp /bin/backtrace /bin/backtrace (stdout pending 0)"));
    EXPECT_EQ(kernel.cpld_stats, 1);
    std::fputs("\n", stdout);
}

}  // namespace
