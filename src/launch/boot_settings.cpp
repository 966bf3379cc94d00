// Boot settings: the boot loader's environment variables that choose the rescue menu, the
// standalone diagnostics and the debugging modes of the launch, and our own settings (verify,
// bootlimit), which are read differently (see parse_own_settings).
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "flash/flash.hpp"
#include "launch/launch_steps.hpp"

namespace {

// The environment partition holds a 4-byte checksum and then name=value strings, each ended by
// a NUL, an empty string after the last. The settings of the debugging modes and diagnostics are
// looked for in this much of it only; variables stored further on are not seen by them.
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

// "bootlimit=": 1 to 255 in decimal digits and nothing else; anything else leaves counting off.
std::uint8_t parse_boot_limit(std::string_view value) {
    unsigned number = 0;
    for (const char c : value) {
        if (c < '0' || c > '9' || (number = number * 10 + static_cast<unsigned>(c - '0')) > 255) {
            return 0;
        }
    }
    return static_cast<std::uint8_t>(number);
}

// Our own settings are read as the boot loader imports its environment: the variables from the
// byte after the checksum word to the first empty string (or the partition's end), each a whole
// "name=value" string (blanks before the name skipped), the last of a name deciding and an empty
// value removing it. So "noverify=on" or a value "x verify=on" is not "verify", and a variable
// stored anywhere in the partition counts. Not found, or no flash: the settings stay off.
constexpr std::uint32_t kEnvPartitionMax = std::uint32_t{1} << 20;

void parse_own_settings(BootSettings& settings) {
    std::uint32_t size = 0;
    if (mtd_get_size(uboot_env_fd, &size) != 1 || size <= kEnvOffset) {
        return;
    }
    size = std::min(size, kEnvPartitionMax);
    std::vector<char> env(size - kEnvOffset, '\0');
    if (api_flash_read(env.data(), uboot_env_fd, kEnvOffset, size - kEnvOffset) != 0) {
        return;
    }
    std::optional<std::string_view> verify;
    std::optional<std::string_view> bootlimit;
    const std::string_view text(env.data(), env.size());
    for (std::size_t at = 0; at < text.size() && text[at] != '\0';) {
        const std::size_t end = std::min(text.find('\0', at), text.size());
        std::string_view var = text.substr(at, end - at);
        at = end + 1;
        var.remove_prefix(std::min(var.find_first_not_of(" \t"), var.size()));
        const std::size_t eq = var.find('=');
        const std::string_view name = var.substr(0, eq);
        const std::string_view value =
            eq == std::string_view::npos ? std::string_view{} : var.substr(eq + 1);
        const std::optional<std::string_view> set =
            value.empty() ? std::nullopt : std::optional(value);
        if (name == "verify") {
            verify = set;
        } else if (name == "bootlimit") {
            bootlimit = set;
        }
    }
    settings.verify_enable = verify && verify->starts_with("on") ? 1 : 0;
    settings.boot_limit = bootlimit ? parse_boot_limit(*bootlimit) : 0;
}

}  // namespace

BootSettings parse_uboot_env() {
    BootSettings settings;
    // Zero-filled, so that a partition shorter than the block reads as no further variables.
    std::vector<char> env(kEnvLength + 1, '\0');
    if (api_flash_read(env.data(), uboot_env_fd, kEnvOffset, kEnvLength) != 0) {
        // Without flash the block was never read: every setting keeps its initial value.
        return settings;
    }
    for (std::uint32_t i = 0; i < kEnvLength; ++i) {
        if (env[i] == '\0') {
            env[i] = ' ';
        }
    }
    env[kEnvLength] = '\0';
    const char* text = env.data();

    if (const char* v = lookup(text, "gdb=")) {
        settings.gdb_enable = starts_with(v, "on") ? 1 : 0;
    }
    if (const char* v = lookup(text, "gdbserver=")) {
        settings.gdbserver_enable = starts_with(v, "on") ? 1 : 0;
        if (settings.gdbserver_enable != 0) {
            settings.gdb_enable = 1;
        }
    }
    if (const char* v = lookup(text, "gdbport=")) {
        parse_decimal(v, &settings.gdbport);
    }
    if (const char* v = lookup(text, "shell=")) {
        settings.shell_enable = starts_with(v, "on") ? 1 : 0;
    }
    if (const char* v = lookup(text, "memchk=")) {
        settings.memchk_enable = starts_with(v, "on") ? 1 : 0;
    }
    if (const char* v = lookup(text, "diagnostics=")) {
        settings.rescue_enable = starts_with(v, "rescue") ? 1 : 0;
        settings.standalone_diags = starts_with(v, "diags") ? 1 : 0;
    }
    parse_own_settings(settings);
    return settings;
}
