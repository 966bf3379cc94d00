// The operator's interrupt key on the console.
#pragma once

#include <atomic>
#include <cstdint>

// Raised to 1 by the launcher's SIGINT handler (the operator pressed Ctrl-C on the console). The
// console loops poll it after an input returns; only the rescue menu clears it. An 8-bit
// lock-free atomic so that the handler's store is safe and every poll sees it.
extern std::atomic<std::uint8_t> sig_quit_raised;
static_assert(std::atomic<std::uint8_t>::is_always_lock_free);
