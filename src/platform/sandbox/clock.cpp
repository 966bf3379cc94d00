// The board's clock: every pause is the requested one times clock.scale, so scenarios that
// only wait (the CPLD poll, the pauses around VPD writes, the reset) can run at 0.
#include <cerrno>
#include <cmath>

#include "platform/platform.hpp"
#include "platform/sandbox/board.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform {

namespace {

constexpr double kNsPerUs = 1000.0;

// Sleeps the scaled time; returns the unslept part, scaled back to the caller's time, in µs.
unsigned long long scaled_sleep_us(unsigned long long requested_us) {
    sandbox::detail::mutable_stats().slept_us += requested_us;
    const double scale = sandbox::detail::config().clock_scale;
    if (scale <= 0 || requested_us == 0) {
        return 0;
    }
    // A scale that would overflow the count sleeps some 30 years instead (a 32-bit time_t
    // on the board holds that many seconds).
    const double wanted_ns = static_cast<double>(requested_us) * kNsPerUs * scale;
    constexpr double kLongestNs = 1e18;
    const auto ns = wanted_ns >= kLongestNs
                        ? static_cast<unsigned long long>(kLongestNs)
                        : static_cast<unsigned long long>(std::llround(wanted_ns));
    const unsigned long long left_ns = sandbox::host::sleep_ns(ns);
    if (left_ns == 0) {
        return 0;
    }
    return static_cast<unsigned long long>(
        std::ceil(static_cast<double>(left_ns) / (kNsPerUs * scale)));
}

}  // namespace

unsigned int clock_sleep(unsigned int seconds) {
    constexpr unsigned long long kUsPerSecond = 1000000;
    const unsigned long long left_us = scaled_sleep_us(seconds * kUsPerSecond);
    // Like sleep(3): the whole seconds not slept when a signal cut the pause short.
    return static_cast<unsigned int>((left_us + kUsPerSecond - 1) / kUsPerSecond);
}

int clock_usleep(useconds_t microseconds) {
    if (scaled_sleep_us(microseconds) != 0) {
        errno = EINTR;
        return -1;
    }
    return 0;
}

}  // namespace platform
