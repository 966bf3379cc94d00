#include "command/command.hpp"

#include <array>
#include <cstdarg>
#include <cstdio>

#include "platform/platform.hpp"

namespace {

// The command line being built or run.
std::array<char, 256> stringbuff{};

}  // namespace

namespace command {

int run_command(const char* command) {
    std::fflush(stdout);
    std::fflush(stderr);
    return platform::run_system(command);
}

int run_formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    // The analyzer loses track of va_start through the compiler's builtin va_list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    std::vsnprintf(stringbuff.data(), stringbuff.size(), format, args);
    va_end(args);
    return run_command(stringbuff.data());
}

}  // namespace command
