// mplaunch-confirm: run by the application once it is healthy. Confirms the slot whose file this
// boot launched, as the launcher left it in RAM (/tmp/mplaunch-booted): when the boot was
// counted, its boot attempts go back to 0 and it is no longer on trial, so that the launcher
// boots it without counting until it is installed again; on a board with keys, the board's
// security floor rises to the counter of the slot's application when its signature holds and
// the counter is higher. Exits 0 when the slot is confirmed or there is nothing to confirm
// (counting off and no key, an image booted from flash or booted at once by the installer,
// diagnostics); 1 when the state file or the floor could not be written. It prints nothing
// unless it fails, writes the VPD only to raise the floor, never writes flash, and touches /user
// only when the slot's state changes.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/boot_attempts.hpp"
#include "base/paths.hpp"
#include "base/unique_fd.hpp"
#include "base/untrusted_file.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "image/signature.hpp"
#include "release/release.hpp"

namespace {

// The counter of the application at the start of the slot file when its signatures hold under
// a key of the board; 0 otherwise (nothing to raise).
std::uint32_t confirmed_counter(int slot) {
    base::Found found = base::Found::failed;
    const base::UniqueFd file = base::open_regular(base::slot_path(slot), found);
    if (!file) {
        return 0;
    }
    const image::FileSource source = image::FileSource::of_fd(file.get());
    std::uint8_t probe[RECORD_PROBE_SIZE] = {};
    if (image::read_probe(source, 0, probe) != sizeof probe) {
        return 0;
    }
    const RecordHeader h = parse_probe(probe);
    image::LoadedRecord record;
    std::uint32_t counter = 0;
    if (h.type() != IMAGE_APPLICATION ||
        image::load_record(source, 0, h, record) != image::LoadResult::loaded || !record.intact() ||
        !signing::check_slot_record(source, 0, record.bytes, signing::kKeysDir, &counter)) {
        return 0;
    }
    return counter;
}

}  // namespace

int main() {
    bool counted = true;
    const int booted = base::booted_slot(base::kBootedSlot, &counted);
    if (booted == 0) {
        return 0;
    }
    base::StateFile found = base::StateFile::missing;
    if (counted && !base::set_slot_attempts(base::kBootAttempts, booted,
                                            {.count = 0, .confirmed = true}, found)) {
        std::fprintf(stderr, "mplaunch-confirm: cannot write %s: %s\n", base::kBootAttempts,
                     std::strerror(errno));
        return 1;
    }
    if (signing::load_keys(signing::kKeysDir).present == 0) {
        return 0;
    }
    const std::uint32_t counter = confirmed_counter(booted);
    if (counter == 0) {
        return 0;
    }
    static_cast<void>(api_i2c_init());
    const bool raised = release::raise_floor(counter);
    static_cast<void>(api_i2c_close());
    if (!raised) {
        std::fprintf(stderr, "mplaunch-confirm: cannot raise the security floor to %lu\n",
                     static_cast<unsigned long>(counter));
        return 1;
    }
    return 0;
}
