// The CPLD register device: one byte per register at its file offset, kept in the board file
// dev/lamel/cpld_mmmap so that the gate's state outlives the process. The board's driver does
// not advance the file position on a read or write, so a poll reads the same register again.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "platform/sandbox/emulators.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform::sandbox::detail {

namespace {

constexpr off_t kCpldRegisters = 32;
constexpr off_t kControl = 20;
constexpr off_t kStatus = 24;

// A switch of the gate takes a moment: the first status read after a control write finds it
// still busy, the ones after that find it done.
unsigned g_busy_reads = 0;
bool g_stuck_logged = false;

std::string device_path() {
    return board_path("dev/lamel/cpld_mmmap");
}

std::uint8_t status_byte(std::uint8_t stored) {
    ++mutable_stats().cpld_status_reads;
    bool done = true;
    if (config().cpld_stuck) {
        // One line per switch that never finishes, not one per poll.
        if (!g_stuck_logged) {
            board_log("fault", "cpld stuck");
            g_stuck_logged = true;
        }
        done = false;
    } else if (g_busy_reads > 0) {
        --g_busy_reads;
        done = false;
    }
    return static_cast<std::uint8_t>((stored & 0xFE) | (done ? 1 : 0));
}

}  // namespace

void reset_cpld() {
    g_busy_reads = 0;
    g_stuck_logged = false;
}

int cpld_open(int flags) {
    const int mode = (flags & O_ACCMODE) == O_RDONLY ? O_RDONLY : O_RDWR;
    return host::open_backing(device_path(), mode);
}

ssize_t cpld_read(const OpenDevice& dev, void* buf, std::size_t count, off_t position) {
    if (position < 0) {
        errno = EINVAL;
        return -1;
    }
    if (position >= kCpldRegisters) {
        return 0;
    }
    const auto n = static_cast<std::size_t>(
        std::min<off_t>(static_cast<off_t>(count), kCpldRegisters - position));
    auto* out = static_cast<std::uint8_t*>(buf);
    // Registers beyond a short board file read as 0.
    std::fill_n(out, n, std::uint8_t{0});
    const ssize_t got = host::read_at(dev.fd.get(), {out, n}, position);
    if (got < 0) {
        return -1;
    }
    if (position <= kStatus && kStatus < position + static_cast<off_t>(n)) {
        auto& status = out[kStatus - position];
        status = status_byte(status);
    }
    return static_cast<ssize_t>(n);
}

ssize_t cpld_write(const OpenDevice& dev, const void* buf, std::size_t count, off_t position) {
    if (position < 0) {
        errno = EINVAL;
        return -1;
    }
    if (position >= kCpldRegisters || count > static_cast<std::size_t>(kCpldRegisters - position)) {
        errno = ENOSPC;
        return -1;
    }
    const auto* in = static_cast<const std::uint8_t*>(buf);
    for (std::size_t i = 0; i < count; ++i) {
        const off_t reg = position + static_cast<off_t>(i);
        if (reg == kStatus) {
            continue;  // read-only
        }
        if (!host::write_at(dev.fd.get(), {&in[i], 1}, reg)) {
            return -1;
        }
        if (reg == kControl) {
            g_busy_reads = 1;
            g_stuck_logged = false;
        }
    }
    return static_cast<ssize_t>(count);
}

bool cpld_gate_open() {
    const host::UniqueFd fd(host::open_backing(device_path(), O_RDONLY));
    std::uint8_t control = 0;
    return fd.get() >= 0 && host::read_at(fd.get(), {&control, 1}, kControl) == 1 &&
           (control & 1) != 0;
}

}  // namespace platform::sandbox::detail
