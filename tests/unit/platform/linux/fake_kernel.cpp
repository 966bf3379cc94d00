// Stand-ins for the calls of mp_platform_linux, bound by the linker's --wrap. Board device
// paths, their descriptors and every command stay here; only the test framework's own files
// and descriptors are passed on to the real calls.
#include "fake_kernel.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

extern "C" {
int __real_open(const char* path, int flags, ...);
int __real_open64(const char* path, int flags, ...);
int __real___open_2(const char* path, int flags);
int __real___open64_2(const char* path, int flags);
int __real_stat(const char* path, struct stat* st);
int __real_stat64(const char* path, struct stat64* st);
int __real_ioctl(int fd, unsigned long request, ...);
}

namespace fake_kernel {

State& state() {
    static State s;
    return s;
}

void reset() {
    state() = State{};
}

namespace {

bool is_board_device(const char* path) {
    constexpr std::string_view kBoardDevices[] = {"/dev/mtd", "/dev/i2c", "/dev/lamel/"};
    const std::string_view p = path != nullptr ? path : "";
    for (const auto prefix : kBoardDevices) {
        if (p.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

bool is_fake_fd(int fd) {
    return fd >= kFirstFd;
}

__attribute__((format(printf, 1, 2))) void record(const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    state().calls.emplace_back(line);
}

int open_device(const char* path, int flags) {
    record("open %s flags 0x%x", path, static_cast<unsigned>(flags));
    return state().next_fd++;
}

mode_t mode_arg(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

template <typename Stat>
int stat_device(const char* path, Stat* st) {
    if (std::strcmp(path, "/dev/lamel/cpld_mmmap") == 0) {
        ++state().cpld_stats;
    }
    if (std::strcmp(path, "/dev/lamel/cpld_mmmap") != 0 || state().cpld_stat_errno != 0) {
        errno = state().cpld_stat_errno != 0 ? state().cpld_stat_errno : ENOENT;
        return -1;
    }
    *st = Stat{};
    st->st_mode = state().cpld_mode;
    return 0;
}

bool is_board_request(unsigned long request) {
    return request == MEMGETINFO || request == MEMERASE || request == I2C_SLAVE;
}

int answer_ioctl(int fd, unsigned long request, void* arg) {
    if (request == MEMGETINFO) {
        record("%d: MEMGETINFO", fd);
        if (state().ioctl_result >= 0) {
            *static_cast<mtd_info_user*>(arg) = state().meminfo;
        }
    } else if (request == MEMERASE) {
        const auto* erase = static_cast<const erase_info_user*>(arg);
        record("%d: MEMERASE start 0x%x length 0x%x", fd, erase->start, erase->length);
    } else if (request == I2C_SLAVE) {
        record("%d: I2C_SLAVE 0x%02lx", fd, reinterpret_cast<unsigned long>(arg));
    } else {
        record("%d: ioctl 0x%lx", fd, request);
        errno = ENOTTY;
        return -1;
    }
    errno = state().ioctl_errno;
    return state().ioctl_result;
}

}  // namespace
}  // namespace fake_kernel

using namespace fake_kernel;

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return is_board_device(path) ? open_device(path, flags) : __real_open(path, flags, mode);
}

int __wrap_open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_arg(flags, args);
    va_end(args);
    return is_board_device(path) ? open_device(path, flags) : __real_open64(path, flags, mode);
}

// What open() becomes in a build with _FORTIFY_SOURCE.
int __wrap___open_2(const char* path, int flags) {
    return is_board_device(path) ? open_device(path, flags) : __real___open_2(path, flags);
}

int __wrap___open64_2(const char* path, int flags) {
    return is_board_device(path) ? open_device(path, flags) : __real___open64_2(path, flags);
}

int __wrap_stat(const char* path, struct stat* st) {
    return is_board_device(path) ? stat_device(path, st) : __real_stat(path, st);
}

int __wrap_stat64(const char* path, struct stat64* st) {
    return is_board_device(path) ? stat_device(path, st) : __real_stat64(path, st);
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* const arg = va_arg(args, void*);
    va_end(args);
    // The board's own requests never reach the host's kernel, whatever the descriptor.
    if (is_fake_fd(fd) || is_board_request(request)) {
        return answer_ioctl(fd, request, arg);
    }
    return __real_ioctl(fd, request, arg);
}

std::int32_t __wrap_i2c_smbus_read_byte_data(int fd, std::uint8_t command) {
    record("%d: SMBus read command %u", fd, command);
    return state().smbus_read_result;
}

std::int32_t __wrap_i2c_smbus_write_byte_data(int fd, std::uint8_t command, std::uint8_t value) {
    record("%d: SMBus write command %u data %u", fd, command, value);
    return state().smbus_write_result;
}

// A command line never reaches a shell from here. The pending count shows whether the caller
// flushed what it had printed.
int __wrap_system(const char* command) {
    record("system %s (stdout pending %zu)", command != nullptr ? command : "(null)",
           __fpending(stdout));
    return state().system_result;
}

int __wrap_execlp(const char* file, const char* arg, ...) {
    std::string line = std::string("execlp ") + file;
    va_list args;
    va_start(args, arg);
    for (const char* a = arg; a != nullptr; a = va_arg(args, const char*)) {
        line += ' ';
        line += a;
    }
    va_end(args);
    record("%s (stdout pending %zu)", line.c_str(), __fpending(stdout));
    errno = state().exec_errno;
    return -1;
}

}  // extern "C"
