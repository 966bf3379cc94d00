// The boot attempts of the two image slots, kept on /user when the boot settings switch counting
// on ("bootlimit=N"). A slot is on trial from its installation until its application, once
// healthy, runs mplaunch-confirm in it; from then on it is confirmed until it is installed again.
// The launcher adds one attempt before it launches an application from a slot on trial, and
// never counts (nor writes anything for) a confirmed one: power cuts cannot pass a slot over
// once it has proved itself.
//
// The file holds two lines, "image1 A S\n" and "image2 B S\n": A and B decimal counts from 0 to
// 255, S "trial" or "confirmed". A line "image1 A\n" without the state (what earlier launchers
// wrote) is a slot on trial with A attempts. A missing file, or one that holds anything else,
// is both slots on trial with none. The file is replaced whole: written afresh beside its name,
// synced, renamed over it and the directory synced, so a power cut leaves the old state or the
// new one. Every file here is opened as untrusted (base/untrusted_file.hpp).
#pragma once

#include <array>
#include <cstdint>

namespace base {

inline constexpr const char* kBootAttempts = "/user/images/bootcount";
// The slot whose file this boot launched, for mplaunch-confirm: in RAM, so that only this boot
// can have written it. Nothing there (boots from flash, packages booted at once, diagnostics,
// counting off) means nothing to confirm.
inline constexpr const char* kBootedSlot = "/tmp/mplaunch-booted";

struct SlotAttempts {
    std::uint8_t count = 0;
    bool confirmed = false;
    bool operator==(const SlotAttempts&) const = default;
};

struct BootAttempts {
    std::array<SlotAttempts, 2> slots{};  // slot 1, slot 2

    // Slot 1 or 2 (any slot but 2 is slot 1, as for the slot files).
    SlotAttempts& of(int slot) noexcept { return slots[slot == 2 ? 1 : 0]; }
    const SlotAttempts& of(int slot) const noexcept { return slots[slot == 2 ? 1 : 0]; }
};

// What was at the state file's name when it was read.
enum class StateFile {
    read,         // a regular file in one of the two forms
    missing,      // nothing
    not_regular,  // a symbolic link, FIFO, device or directory: not opened
    unreadable,   // a regular file that could not be read, or holds anything else
};

// The state in the file at `path` (both slots on trial with none unless `found` is read).
BootAttempts read_boot_attempts(const char* path, StateFile* found = nullptr);

// Replaces whatever is at `path` (an empty directory included) with `attempts`; false with errno
// when the new file could not be written whole or renamed (the old one then stays as it was).
bool write_boot_attempts(const char* path, const BootAttempts& attempts);

// Gives `slot` the state `want`, writing the file when that changes it or when what is at `path`
// is not a file in a known form (which is thereby replaced). True when nothing needed writing
// or the file was written; `found` tells what was there.
bool set_slot_attempts(const char* path, int slot, SlotAttempts want, StateFile& found);

// A slot installed anew: on trial with no attempts. False (errno) only when the file held
// another state for it that could not be changed; where the name is not a file in a known form
// and cannot be replaced, one line on standard error says so and the slot reads as on trial
// anyway, so true.
bool start_trial(const char* path, int slot);

// The booted slot's file at `path` (kBootedSlot but in tests): written afresh with "1\n" or
// "2\n" for a boot that counted an attempt, "1 uncounted\n" or "2 uncounted\n" for one that
// did not (a board with keys and counting off: only its floor is confirmed); read back as 1 or 2
// (0 when missing or anything else) and whether the boot was counted; removed.
bool record_booted_slot(const char* path, int slot, bool counted = true);
int booted_slot(const char* path, bool* counted = nullptr);
void forget_booted_slot(const char* path);

}  // namespace base
