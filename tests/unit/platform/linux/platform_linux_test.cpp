// The board's platform against stand-ins for its system calls (ld --wrap), one recorded line per
// request reaching a /dev path, ioctl, SMBus access or shell.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/linux/board_check.hpp"
#include "platform/platform.hpp"

extern "C" int __real_open64(const char* path, int flags, int mode);
extern "C" int __real_stat64(const char* path, struct stat64* st);
extern "C" int __real_ioctl(int fd, unsigned long request, void* arg);

namespace {
mode_t g_cpld = S_IFCHR;  // the CPLD device's type, 0: absent
std::vector<std::string> g_calls;
int g_result = 0;  // of the next request

bool board(const char* path) {
    return std::string(path).starts_with("/dev/");
}
int record(int result, const std::string& line) {
    g_calls.push_back(line);
    return result;
}
}  // namespace

extern "C" {
int __wrap_open64(const char* path, int flags, int mode) {
    return board(path) ? record(4000 + int(g_calls.size()), std::string("open ") + path)
                       : __real_open64(path, flags, mode);
}
int __wrap_stat64(const char* path, struct stat64* st) {
    if (!board(path)) {
        return __real_stat64(path, st);
    }
    *st = {};
    st->st_mode = g_cpld;
    errno = ENOENT;
    return record(g_cpld == 0 ? -1 : 0, std::string("stat ") + path);
}
int __wrap_ioctl(int fd, unsigned long request, void* arg) {
    std::string line = std::to_string(fd) + " ";
    if (request == MEMGETINFO) {
        *static_cast<mtd_info_user*>(arg) = {MTD_NORFLASH, 0, 0x300000, 0x20000, 1, 0, 0};
        line += "MEMGETINFO";
    } else if (const auto* e = static_cast<erase_info_user*>(arg); request == MEMERASE) {
        line += "MEMERASE " + std::to_string(e->start) + "+" + std::to_string(e->length);
    } else if (request == I2C_SLAVE) {
        line += "I2C_SLAVE " + std::to_string(reinterpret_cast<long>(arg));
    } else {
        return fd < 4000 ? __real_ioctl(fd, request, arg) : record(-1, line + "ioctl");
    }
    return record(g_result, line);
}
std::int32_t __wrap_i2c_smbus_read_byte_data(int fd, std::uint8_t command) {
    return record(g_result, std::to_string(fd) + " read " + std::to_string(command));
}
std::int32_t __wrap_i2c_smbus_write_byte_data(int fd, std::uint8_t command, std::uint8_t value) {
    return record(g_result, std::to_string(fd) + " write " + std::to_string(command) + " " +
                                std::to_string(value));
}
// The pending count shows whether the caller flushed what it had printed.
int __wrap_system(const char* command) {
    return record(g_result, std::string(command) + " " + std::to_string(__fpending(stdout)));
}
}  // extern "C"

namespace {

using testing::ElementsAre;

// Without the CPLD's character device no device opens and no command runs.
TEST(PlatformLinux, OffTheBoardNothingRuns) {
    for (const mode_t cpld : {mode_t{0}, mode_t{S_IFREG}}) {
        g_calls.clear();
        g_cpld = cpld;
        platform::board_check::forget();
        EXPECT_TRUE(platform::run_exec("/bin/true") == -1 && errno == ENOENT);
        EXPECT_EQ(platform::run_system("reboot"), -1);
        EXPECT_EQ(platform::run_system(nullptr), 0) << "system(NULL): no shell to offer";
        EXPECT_EQ(platform::dev_open("/dev/mtd-rescue", O_RDWR), -1);
        EXPECT_THAT(g_calls, ElementsAre("stat /dev/lamel/cpld_mmmap"));
    }
}

TEST(PlatformLinux, OnTheBoardRequestsReachTheKernelExactly) {
    g_cpld = S_IFCHR;
    g_calls.clear();
    platform::board_check::forget();
    const int mtd = platform::dev_open("/dev/mtd-kernel", O_RDWR);
    const int i2c = platform::dev_open("/dev/i2c-0", O_RDWR);
    platform::MtdInfo info{}, kept{7, 9};  // a failed MEMGETINFO leaves the caller's record alone
    std::fputs("Mounting ", stdout);       // flushed before the shell runs
    const std::vector<long> got{platform::mtd_meminfo(mtd, &info),
                                info.size,
                                info.erasesize,
                                platform::mtd_memerase(mtd, 0xFFFE0000u, 0x20000),
                                platform::i2c_select(i2c, 0x54),
                                platform::smbus_write_byte_data(i2c, 59, 4),
                                (g_result = -EREMOTEIO, platform::smbus_read_byte_data(i2c, 1)),
                                platform::mtd_meminfo(mtd, &kept),
                                kept.size,
                                (g_result = 256, platform::run_system("mount /user"))};
    std::fputs("\n", stdout);
    EXPECT_THAT(got, ElementsAre(0, 0x300000, 0x20000, 0, 0, 0, -EREMOTEIO, -EREMOTEIO, 7, 256));
    EXPECT_THAT(
        g_calls,
        ElementsAre("stat /dev/lamel/cpld_mmmap", "open /dev/mtd-kernel", "open /dev/i2c-0",
                    "4001 MEMGETINFO", "4001 MEMERASE 4294836224+131072", "4002 I2C_SLAVE 84",
                    "4002 write 59 4", "4002 read 1", "4001 MEMGETINFO", "mount /user 0"));
}

}  // namespace
