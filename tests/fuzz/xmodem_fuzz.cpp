// The receiver's frame loop on a virtual clock: the input is segments (a length byte, then that
// many bytes), one put on the line at each answer, then 8 s of silence end the run. No more data
// may be written than was sent, and all of it reported.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem_testing.hpp"

namespace {
struct Stop {};
int fds[2];
const std::uint8_t* input;
std::size_t left, total;
std::uint64_t now_us, quiet_since;
}  // namespace

void wait_for_input(int, useconds_t microseconds) {
    now_us += microseconds;
    for (std::uint8_t c = 0; ::read(fds[1], &c, 1) == 1 && left > 0;) {
        const std::size_t n = std::min<std::size_t>(input[0], left - 1);
        total += n, quiet_since = now_us;
        static_cast<void>(::write(fds[1], input + 1, n));  // a short write only delivers less
        input += n + 1, left -= n + 1;
    }
    if (left == 0 && now_us - quiet_since > 8000000) {
        throw Stop{};
    }
}
int init_serial() {
    return -1;
}
void reset_serial(int) {}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input = data, left = size, total = now_us = quiet_since = 0;
    char* mem = nullptr;
    std::size_t written = 0;
    std::FILE* file = ::open_memstream(&mem, &written);
    int bytes = -1;  // stays so when the receiver is still waiting after the input
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds) == 0 ? void() : std::abort();
    try {
        bytes = xmodem_receive(fds[0], file).bytes;
    } catch (const Stop&) {
    }
    std::fclose(file);
    if (written > total || (bytes >= 0 && static_cast<std::size_t>(bytes) != written)) {
        std::abort();
    }
    std::free(mem);
    ::close(fds[0]);
    ::close(fds[1]);
    return 0;
}
