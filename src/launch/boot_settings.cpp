// Boot settings: the boot loader's environment variables that choose the rescue menu, the
// standalone diagnostics and the debugging modes of the launch.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/flash.hpp"
#include "launch/launch_steps.hpp"

std::int32_t gdb_enable = 0;
std::int32_t gdbserver_enable = 0;
std::int32_t gdbport = 1234;
std::uint8_t shell_enable = 0;
std::uint8_t memchk_enable = 0;
std::int32_t rescue_enable = 0;
std::int32_t standalone_diags = 0;
std::uint8_t boot_limit = 0;
std::uint8_t verify_enable = 0;

namespace {

// The environment partition holds a 4-byte checksum and then name=value strings, each ended by
// a NUL. Only this much of it is looked at; variables stored further on are not seen.
constexpr std::uint32_t kEnvOffset = 4;
constexpr std::uint32_t kEnvLength = 1280;

// The value after the first occurrence of `key` anywhere in the block, or nullptr. The search
// is over the whole text, so "gdb=" is also found inside "xgdb=on".
const char* lookup(const char* env, const char* key) {
    const char* found = std::strstr(env, key);
    return found != nullptr ? found + std::strlen(key) : nullptr;
}

bool starts_with(const char* value, const char* prefix) {
    return std::strncmp(value, prefix, std::strlen(prefix)) == 0;
}

// A decimal number as "%d" reads it: white space skipped, optional sign. One that does not fit
// a 32-bit int counts as not converted.
bool parse_decimal(const char* text, std::int32_t* out) {
    while (std::isspace(static_cast<unsigned char>(*text)) != 0) {
        ++text;
    }
    const char* digits = text + ((*text == '+' || *text == '-') ? 1 : 0);
    if (std::isdigit(static_cast<unsigned char>(*digits)) == 0) {
        return false;
    }
    errno = 0;
    const long long value = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        return false;
    }
    *out = static_cast<std::int32_t>(value);
    return true;
}

// "bootlimit=": 1 to 255 in decimal digits and nothing else up to the end of the variable (its
// NUL in `raw`, the block as read); anything else leaves counting off.
std::uint8_t parse_boot_limit(const char* raw, std::size_t length) {
    unsigned value = 0;
    std::size_t i = 0;
    for (; i < length && raw[i] >= '0' && raw[i] <= '9'; ++i) {
        value = value * 10 + static_cast<unsigned>(raw[i] - '0');
        if (value > 255) {
            return 0;
        }
    }
    return i > 0 && (i == length || raw[i] == '\0') ? static_cast<std::uint8_t>(value) : 0;
}

}  // namespace

int parse_uboot_env() {
    // Zero-filled, so that a partition shorter than the block reads as no further variables.
    std::vector<char> env(kEnvLength + 1, '\0');
    if (api_flash_read(env.data(), uboot_env_fd, kEnvOffset, kEnvLength) != 0) {
        // Without flash the block was never read: every flag keeps its initial value.
        return 0;
    }
    const std::vector<char> raw(env);
    for (std::uint32_t i = 0; i < kEnvLength; ++i) {
        if (env[i] == '\0') {
            env[i] = ' ';
        }
    }
    env[kEnvLength] = '\0';
    const char* text = env.data();

    if (const char* v = lookup(text, "gdb=")) {
        gdb_enable = starts_with(v, "on") ? 1 : 0;
    }
    if (const char* v = lookup(text, "gdbserver=")) {
        gdbserver_enable = starts_with(v, "on") ? 1 : 0;
        if (gdbserver_enable != 0) {
            gdb_enable = 1;
        }
    }
    if (const char* v = lookup(text, "gdbport=")) {
        parse_decimal(v, &gdbport);
    }
    if (const char* v = lookup(text, "shell=")) {
        shell_enable = starts_with(v, "on") ? 1 : 0;
    }
    if (const char* v = lookup(text, "memchk=")) {
        memchk_enable = starts_with(v, "on") ? 1 : 0;
    }
    if (const char* v = lookup(text, "diagnostics=")) {
        rescue_enable = starts_with(v, "rescue") ? 1 : 0;
        standalone_diags = starts_with(v, "diags") ? 1 : 0;
    }
    if (const char* v = lookup(text, "verify=")) {
        verify_enable = starts_with(v, "on") ? 1 : 0;
    }
    if (const char* v = lookup(text, "bootlimit=")) {
        const auto at = static_cast<std::size_t>(v - text);
        boot_limit = parse_boot_limit(raw.data() + at, kEnvLength - at);
    }
    return 0;
}
