// The receiver's frame loop on a virtual clock: the input is segments (a length byte, then that
// many bytes), one put on the line at 11 bytes a millisecond on each answer, then 8 s of silence.
// Only C, ACK, NAK or CAN may answer; no more data written than was sent, and all of it reported.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "platform/platform.hpp"
#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem_testing.hpp"

namespace {
struct Stop {
    static void check(bool ok) { ok ? void() : std::abort(); }
};
int fds[2];
const std::uint8_t* input;
std::size_t left, total;
std::deque<std::uint8_t> queue;
std::uint64_t now_us, quiet_since;

void tick(std::uint64_t us) {
    now_us += us;
    for (std::uint8_t c = 0; ::read(fds[1], &c, 1) == 1;) {
        Stop::check(c == 'C' || c == 0x06 || c == 0x15 || c == 0x18);
        if (left > 0) {
            const std::size_t n = std::min<std::size_t>(input[0], left - 1);
            queue.insert(queue.end(), input + 1, input + 1 + n);
            input += n + 1;
            left -= n + 1;
            total += n;
        }
    }
    for (int i = 0; i < 11 && !queue.empty(); ++i, queue.pop_front(), quiet_since = now_us) {
        Stop::check(::write(fds[1], &queue.front(), 1) == 1);
    }
    if (left == 0 && queue.empty() && now_us - quiet_since > 8000000) {
        throw Stop{};
    }
}
}  // namespace

namespace platform {
unsigned int clock_sleep(unsigned int seconds) {
    return tick(std::uint64_t{seconds} * 1000000), 0;
}
int clock_usleep(useconds_t microseconds) {
    return tick(microseconds), 0;
}
int serial_drain_flush(int) {
    return 0;
}
}  // namespace platform

int init_serial() {
    return -1;
}
void reset_serial(int) {}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input = data;
    left = size;
    total = now_us = quiet_since = 0;
    queue.clear();
    Stop::check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0);
    char* mem = nullptr;
    std::size_t written = 0;
    std::FILE* file = ::open_memstream(&mem, &written);
    int bytes = -1;  // stays so when the receiver is still waiting after the input
    try {
        bytes = xmodem_receive(fds[0], file).bytes;
    } catch (const Stop&) {
    }
    std::fclose(file);
    Stop::check(written <= total && (bytes < 0 || static_cast<std::size_t>(bytes) == written));
    std::free(mem);
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
