// The U-Boot environment partition as the boot loader keeps it: a 4-byte CRC-32, then
// NUL-terminated name=value strings, an empty string after the last one, the rest erased.
//
// The CRC is zlib's CRC-32 of every byte after it (to the partition's end), stored big-endian:
// U-Boot stores it in the processor's byte order, and the board's PowerPC is big-endian. The
// launcher itself never checks it; the boot loader falls back to its built-in defaults when it
// does not match.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace mpboard {

using EnvVars = std::vector<std::pair<std::string, std::string>>;

struct ParsedEnv {
    EnvVars vars;
    bool crc_ok = false;
    bool erased = false;  // the data area starts erased: no environment was ever written
};

// The variables of a partition image, in their order. Reading stops at the empty string, at
// the end of the partition or at a string that is not name=value text.
ParsedEnv parse_env(std::span<const std::uint8_t> partition);

// A partition image of `size` bytes holding `vars`; throws std::length_error when they do not
// fit.
std::vector<std::uint8_t> build_env(const EnvVars& vars, std::size_t size);

// `vars` with NAME=VALUE applied: an existing NAME keeps its place, a new one goes last, and an
// empty VALUE removes NAME.
void assign_env(EnvVars& vars, const std::string& name, const std::string& value);

// How many bytes of variable text the launcher reads after the CRC.
inline constexpr std::size_t LAUNCHER_ENV_WINDOW = 1280;

}  // namespace mpboard
