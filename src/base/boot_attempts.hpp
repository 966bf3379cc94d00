// The unconfirmed boot attempts of the two image slots, kept on /user when the boot settings
// switch counting on ("bootlimit=N"). The launcher adds one before it launches an application
// from a slot; mplaunch-confirm, run by the application once it is healthy, clears the booted
// slot's; a slot file installed anew starts with none.
//
// The file holds two lines, "image1 A\n" and "image2 B\n", A and B decimal counts from 0 to 255.
// It is replaced whole: written beside its name, synced and renamed over it, so a power cut leaves
// either the old counts or the new ones. A file that is missing or holds anything else counts as
// no attempts.
#pragma once

#include <array>
#include <cstdint>

namespace base {

inline constexpr const char* kBootAttempts = "/user/images/bootcount";

struct BootAttempts {
    std::array<std::uint8_t, 2> count{};  // slot 1, slot 2

    // Slot 1 or 2 (any slot but 2 is slot 1, as for the slot files).
    std::uint8_t& of(int slot) noexcept { return count[slot == 2 ? 1 : 0]; }
    bool none() const noexcept { return count[0] == 0 && count[1] == 0; }
};

// The counts in the file at `path`.
BootAttempts read_boot_attempts(const char* path);

// Replaces the file at `path` with `attempts`; false when it could not be written whole (the old
// file then stays as it was).
bool write_boot_attempts(const char* path, const BootAttempts& attempts);

// Sets the attempts of `slot` to 0. Writes only when it has any: true when there was nothing to
// clear or the file was written.
bool clear_boot_attempts(const char* path, int slot);

}  // namespace base
