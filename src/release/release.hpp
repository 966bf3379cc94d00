// What a board accepts beyond a signature: packages for its product only, and no release older
// than the newest it has confirmed.
//
// The security floor is the highest security counter that an application confirmed on this
// board carried (mplaunch-confirm raises it; nothing lowers it). It lives in the VPD EEPROM,
// which a wipe of /user, an installation and a reflash leave alone, as two copies of 8 bytes at
// kFloorOffset and kFloorOffset + 8: the counter (big-endian) and then its complement. A copy
// is valid when the two agree; the floor is the higher of the valid copies (0 with none, as on a
// new board whose EEPROM holds 0xFF there). A raise writes the first copy, then the second, each
// counter first and complement last, so that a copy cut in the middle reads as invalid, or as the
// old or the new value, never as another: a power cut leaves the old floor or the new one.
//
// The board's product is the first line of /etc/mplaunch/compatible in its root filesystem.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace release {

inline constexpr std::uint16_t kFloorOffset = 240;  // VPD bytes 240 to 255
inline constexpr std::size_t kFloorCopy = 8;
inline constexpr const char* kCompatibleFile = "/etc/mplaunch/compatible";
// The operator's overrides, one line each, the newest last (at most kMaxOverrides lines).
inline constexpr const char* kOverridesFile = "/user/images/overrides";
inline constexpr std::size_t kMaxOverrides = 32;

// The board's floor read from the VPD; nullopt when a byte could not be read.
std::optional<std::uint32_t> read_floor();

// Raises the floor to `counter` when it is higher, writing only the bytes that change; true when
// the floor is now at least `counter`. Prints the I2C layer's line for a failed write.
bool raise_floor(std::uint32_t counter);

// Why a verified record of security counter `counter` may not boot, from one read of the floor:
// `text` "security counter C is below the board's floor F" (`verdict` "below-floor") or
// "security floor cannot be read" ("floor-unknown"); both empty when it may.
struct FloorRefusal {
    std::string text;
    const char* verdict = nullptr;  // the boot history's word for it
};
FloorRefusal floor_refusal(std::uint32_t counter);

// The first line of the board's compatible file (`path`), without its newline; nullopt when
// the file is missing or its first line is empty.
std::optional<std::string> board_product(const std::string& path);

// Appends `line` to the overrides file at `path`, which is replaced whole (a cut leaves the old
// list or the new one) and keeps the last kMaxOverrides lines. False with errno when it could
// not be written.
bool record_override(const char* path, const std::string& line);

}  // namespace release
