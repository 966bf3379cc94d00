// The launcher's clock in these tests is virtual: every pause advances it at once and lets the
// test's peer (sender, noisy line, operator) act, so the receiver's timeouts are exact and the
// runs repeat byte for byte whatever the machine's load.
#pragma once

#include <cstdint>
#include <functional>

namespace vclock {
inline std::uint64_t now_us = 0;
inline unsigned sleeps = 0;  // seconds paused in whole seconds (the operator's waits)
inline std::function<void()> on_tick = [] {};  // after every pause
}  // namespace vclock
