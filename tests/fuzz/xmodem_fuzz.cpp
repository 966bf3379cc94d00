// The receiver's frame loop on a virtual clock and a line in memory: the input is segments (a
// big-endian 16-bit length, then that many bytes: what the sender sends), one put on the line at
// each byte the receiver answers, then 8 s of silence end the run. No more data may be written than
// was sent, and all of it reported. The target links with --wrap=read and --wrap=write: the
// receiver's reads and writes of the line come here, any other descriptor's go on to the system.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem_testing.hpp"

namespace {
struct Stop {};
constexpr int kLine = 1 << 24;  // above any descriptor the kernel hands out
const std::uint8_t* input;
std::size_t left, answers;
std::uint8_t line[1 << 16];  // what was sent; read up to `taken`
std::size_t sent, taken;
std::uint64_t now_us, quiet_since;
}  // namespace

extern "C" ssize_t __real_read(int fd, void* buf, std::size_t count);
extern "C" ssize_t __real_write(int fd, const void* buf, std::size_t count);
// The line is called every millisecond of virtual time and is none of the receiver's code: it
// goes without the sanitizers' checks (the copy into the receiver's buffer is still checked:
// ASan intercepts memcpy) and without coverage.
#define LINE_CALL __attribute__((no_sanitize("address", "undefined", "coverage")))
extern "C" LINE_CALL ssize_t __wrap_read(int fd, void* buf, std::size_t count) {
    if (fd != kLine) {
        return __real_read(fd, buf, count);
    }
    const std::size_t n = count < sent - taken ? count : sent - taken;  // std::min: not inlined
    if (n == 0) {
        errno = EAGAIN;  // the line is non-blocking
        return -1;
    }
    std::memcpy(buf, line + taken, n);
    taken += n;
    return static_cast<ssize_t>(n);
}
extern "C" LINE_CALL ssize_t __wrap_write(int fd, const void* buf, std::size_t count) {
    if (fd != kLine) {
        return __real_write(fd, buf, count);
    }
    answers += count;
    return static_cast<ssize_t>(count);
}

LINE_CALL void wait_for_input(int, useconds_t microseconds) {
    now_us += microseconds;
    for (; answers > 0 && left > 0; --answers) {
        const std::size_t head = left > 1 ? 2 : 1;
        const std::size_t claimed = left > 1 ? std::size_t{input[0]} << 8 | input[1] : 0;
        const std::size_t n = claimed < left - head ? claimed : left - head;
        std::memcpy(line + sent, input + head, n);
        sent += n, quiet_since = now_us;
        input += head + n, left -= head + n;
    }
    answers = 0;
    if (left == 0 && now_us - quiet_since > 8000000) {
        throw Stop{};
    }
}
int init_serial() {
    return -1;
}
void reset_serial(int) {}

// A stream that counts the bytes it is given into *count and keeps none.
std::FILE* counting_sink(std::size_t* count) {
    return ::fopencookie(count, "w",
                         {nullptr,
                          [](void* c, const char*, std::size_t n) {
                              *static_cast<std::size_t*>(c) += n;
                              return static_cast<ssize_t>(n);
                          },
                          nullptr, nullptr});
}
std::size_t written, discarded;
std::FILE* const file = counting_sink(&written);

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The receiver's "EOT" and "CAN" lines go nowhere; libFuzzer keeps its own copy of stderr.
    stderr = counting_sink(&discarded);
    return stderr == nullptr || file == nullptr ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > sizeof line) {
        return 0;
    }
    input = data, left = size, sent = answers = taken = now_us = quiet_since = written = 0;
    int bytes = -1;  // stays so when the receiver is still waiting after the input
    try {
        bytes = xmodem_receive(kLine, file).bytes;
    } catch (const Stop&) {
    }
    std::fflush(file);
    if (written > sent || (bytes >= 0 && static_cast<std::size_t>(bytes) != written)) {
        std::abort();
    }
    return 0;
}
