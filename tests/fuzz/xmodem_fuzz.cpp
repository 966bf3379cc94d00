// The receiver's frame loop over line bytes: segments (a length byte, then that many bytes), one
// more put on the line at 115200 bit/s on each answer, then silence, on a virtual clock. Only C,
// ACK, NAK or CAN may answer; no more data written than came in, and all of it reported.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <vector>

#include "platform/platform.hpp"
#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem_testing.hpp"

namespace {

struct Stop {};

struct Line {
    int fds[2] = {-1, -1};
    std::vector<std::vector<std::uint8_t>> segments;
    std::size_t released = 0;
    std::deque<std::uint8_t> queue;
    std::uint64_t now_us = 0;
    std::uint64_t quiet_since = 0;
    std::size_t answers = 0;

    void tick(std::uint64_t us) {
        now_us += us;
        std::uint8_t c = 0;
        while (::read(fds[1], &c, 1) == 1) {
            if (c != 'C' && c != 0x06 && c != 0x15 && c != 0x18) {
                std::abort();
            }
            ++answers;
            if (released < segments.size()) {
                queue.insert(queue.end(), segments[released].begin(), segments[released].end());
                ++released;
            }
        }
        for (int i = 0; i < 11 && !queue.empty(); ++i) {
            const std::uint8_t b = queue.front();
            queue.pop_front();
            if (::write(fds[1], &b, 1) != 1) {
                std::abort();
            }
            quiet_since = now_us;
        }
        if (released == segments.size() && queue.empty() && now_us - quiet_since > 8000000) {
            throw Stop{};
        }
    }
}* line = nullptr;

}  // namespace

namespace platform {
unsigned int clock_sleep(unsigned int seconds) {
    line->tick(std::uint64_t{seconds} * 1000000);
    return 0;
}
int clock_usleep(useconds_t microseconds) {
    line->tick(microseconds);
    return 0;
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
    Line l;
    std::size_t total = 0;
    for (std::size_t at = 0; at < size;) {
        const std::size_t n = std::min<std::size_t>(data[at], size - at - 1);
        l.segments.emplace_back(data + at + 1, data + at + 1 + n);
        total += n;
        at += n + 1;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, l.fds) != 0) {
        std::abort();
    }
    line = &l;
    char* mem = nullptr;
    std::size_t written = 0;
    std::FILE* file = ::open_memstream(&mem, &written);
    try {
        const XmodemOutcome outcome = xmodem_receive(l.fds[0], file);
        std::fflush(file);
        if (static_cast<std::size_t>(outcome.bytes) != written) {
            std::abort();
        }
    } catch (const Stop&) {
        std::fflush(file);
    }
    if (written > total) {
        std::abort();
    }
    std::fclose(file);
    std::free(mem);
    ::close(l.fds[0]);
    ::close(l.fds[1]);
    line = nullptr;
    return 0;
}
