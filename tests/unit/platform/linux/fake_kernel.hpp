// What the wrapped system calls saw and what they answer. One instance for the test binary;
// each test resets it.
#pragma once

#include <mtd/mtd-user.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace fake_kernel {

// Descriptors handed out for board devices start here, far above any real one of the process.
constexpr int kFirstFd = 4000;

struct State {
    // The CPLD device as stat(2) sees it: the errno of a failing stat, else its mode.
    int cpld_stat_errno = 0;
    mode_t cpld_mode = S_IFCHR | 0600;
    int cpld_stats = 0;

    // One line per request that reached a stand-in, e.g. "4000: MEMERASE start 0x20000 length
    // 0x20000", "open /dev/i2c-0 flags 0x2", "system reboot".
    std::vector<std::string> calls;

    int next_fd = kFirstFd;
    int ioctl_result = 0;
    int ioctl_errno = 0;
    mtd_info_user meminfo{};
    std::int32_t smbus_read_result = 0;
    std::int32_t smbus_write_result = 0;
    int system_result = 0;
    int exec_errno = ENOENT;
};

State& state();
void reset();

}  // namespace fake_kernel
