// The line editor on random keys (byte 0: line size 0 to 130): lines end in zeros inside it.
// The target links with --wrap for read, tcgetattr and tcsetattr: the console (descriptor 0) is
// the input's keys in memory, and no terminal; the echo goes to a stream that keeps nothing.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "console/console.hpp"

namespace {
std::string keys;
std::size_t next_key;
}  // namespace

extern "C" ssize_t __real_read(int fd, void* buf, std::size_t count);
extern "C" int __real_tcgetattr(int fd, termios* t);
extern "C" int __real_tcsetattr(int fd, int when, const termios* t);
extern "C" ssize_t __wrap_read(int fd, void* buf, std::size_t count) {
    if (fd != 0) {
        return __real_read(fd, buf, count);
    }
    const std::size_t n = std::min(count, keys.size() - next_key);
    std::memcpy(buf, keys.data() + next_key, n);
    next_key += n;
    return static_cast<ssize_t>(n);
}
extern "C" int __wrap_tcgetattr(int fd, termios* t) {
    return fd != 0 ? __real_tcgetattr(fd, t) : (errno = ENOTTY, -1);
}
extern "C" int __wrap_tcsetattr(int fd, int when, const termios* t) {
    return fd != 0 ? __real_tcsetattr(fd, when, t) : (errno = ENOTTY, -1);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    stdout = ::fopencookie(
        nullptr, "w",
        {nullptr, [](void*, const char*, std::size_t n) { return static_cast<ssize_t>(n); },
         nullptr, nullptr});
    return stdout == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned line_size = data[0] % 131;
    // ESC ESC CR ends the last line in any escape state: an ended console stays ended.
    keys.assign(data + 1, data + size);
    keys += "\x1b\x1b\r";
    next_key = 0;
    while (next_key < keys.size()) {
        auto line = std::make_unique<char[]>(line_size);  // a write past it is the sanitizer's
        std::memset(line.get(), 0x55, line_size);
        get_user_input(line.get(), line_size);
        const std::size_t text = ::strnlen(line.get(), line_size);
        if (console_input_ended() || (line_size != 0 && text >= line_size) ||
            std::count(line.get(), line.get() + line_size, 0) + text != line_size) {
            std::abort();
        }
    }
    return 0;
}
