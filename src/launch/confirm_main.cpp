// mplaunch-confirm: run by the application once it is healthy. Confirms the slot whose file this
// boot launched, as the launcher left it in RAM (/tmp/mplaunch-booted): its boot attempts go
// back to 0 and it is no longer on trial, so that the launcher boots it without counting until
// it is installed again. Exits 0 when the slot is confirmed or there is nothing to confirm
// (counting off, an image booted from flash or booted at once by the installer, diagnostics);
// 1 when the state file could not be written. It prints nothing unless it fails, never writes
// the VPD or flash, and touches /user only when the slot's state changes.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/boot_attempts.hpp"

int main() {
    const int booted = base::booted_slot(base::kBootedSlot);
    if (booted == 0) {
        return 0;
    }
    base::StateFile found = base::StateFile::missing;
    if (!base::set_slot_attempts(base::kBootAttempts, booted, {.count = 0, .confirmed = true},
                                 found)) {
        std::fprintf(stderr, "mplaunch-confirm: cannot write %s: %s\n", base::kBootAttempts,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
