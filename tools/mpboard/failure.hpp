// How an mpboard command ends when it cannot do its work: main prints "mpboard: <message>" and
// exits with the status.
#pragma once

#include <cerrno>
#include <cstring>
#include <string>

#include "common/tool_failure.hpp"

namespace mpboard {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

using host_tools::Failure;

// Exit status 1.
[[noreturn]] inline void fail(const std::string& message) {
    throw Failure(EXIT_FAILED, message);
}

// Exit status 2.
[[noreturn]] inline void usage_fail(const std::string& message) {
    throw Failure(EXIT_USAGE, message);
}

// "<path>: <strerror(errno)>" (or "<path>: <what>: <strerror(errno)>") with status 1.
[[noreturn]] inline void fail_errno(const std::string& path, const std::string& what = {}) {
    const std::string reason = std::strerror(errno);
    fail(path + ": " + (what.empty() ? "" : what + ": ") + reason);
}

}  // namespace mpboard
