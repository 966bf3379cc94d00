// The rescue image: one record at the start of the rescue partition that stays bootable when
// both image slots on /user are missing or damaged. A diagnostics record is booted at once; an
// application record is a recovery application that the operator may install into a slot.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "base/boot_attempts.hpp"
#include "base/file.hpp"
#include "base/paths.hpp"
#include "base/untrusted_file.hpp"
#include "command/command.hpp"
#include "flash/flash.hpp"
#include "flash/partition_source.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "image/signature.hpp"
#include "installer/install_record.hpp"
#include "launch/launch_steps.hpp"

namespace {

using base::File;
using image::LoadedRecord;

// Booted-slot value for an image that came from flash rather than from a slot file.
constexpr std::uint8_t kBootedFromFlash = 4;

// The rescue partition as a record source.
flash::PartitionSource rescue_partition() noexcept {
    return flash::PartitionSource(rescue_fd);
}

// The whole record at the start of the rescue partition, when it is intact.
bool read_intact_record(const RecordHeader& header, LoadedRecord& record) {
    const flash::PartitionSource partition = rescue_partition();
    return header.record_length() >= RECORD_PROBE_SIZE &&
           header.record_length() <= partition.size() &&
           image::load_record(partition, 0, header, record) == image::LoadResult::loaded &&
           record.intact();
}

// Whether `path` is a regular file of `size` bytes (the copy that cp made), not followed.
bool whole_copy(const char* path, std::size_t size) {
    base::Found found = base::Found::failed;
    const base::UniqueFd fd = base::open_regular(path, found);
    struct stat st {};
    return fd && ::fstat(fd.get(), &st) == 0 && static_cast<std::size_t>(st.st_size) == size;
}

// Writes the record (and its own signature) to /tmp/image and replaces the slot file with it. The
// copy goes beside the slot file and is renamed over it once whole, so a power cut during the copy
// leaves either the old file or the whole new one, never a damaged slot that the VPD byte names.
// Whatever had the copy's name (a link, a FIFO, a copy left by a power cut) is removed first, so cp
// makes a new file and follows nothing: nothing else runs on the board while the rescue image is
// copied. The new slot is on trial. Every step is checked: when one fails (a full /tmp or /user),
// the slot file and both VPD bytes stay as they were, and false.
bool copy_into_slot(std::span<const std::uint8_t> record, std::span<const std::uint8_t> signature,
                    char slot_digit) {
    File image(std::fopen(base::kDownloadImage, "wb"));
    if (!image) {
        std::fputs("Failed to open image file.\n", stderr);
        board_reset();
    }
    const bool written =
        std::fwrite(record.data(), 1, record.size(), image.get()) == record.size() &&
        std::fwrite(signature.data(), 1, signature.size(), image.get()) == signature.size();
    if (!base::close_file(image) || !written) {
        return false;
    }
    command::run_command("mkdir /user/images &> /dev/null");
    const int slot = slot_digit - '0';
    const char* slot_file = base::slot_path(slot);
    const std::string copy = std::string(slot_file) + ".new";
    // The slot goes on trial before the rename, as the installer does: a power cut in between
    // puts the old file on trial, never the new one under the old file's state.
    if (!base::remove_entry(copy.c_str()) ||
        command::run_formatted("cp %s %s && sync\n", base::kDownloadImage, copy.c_str()) != 0 ||
        !whole_copy(copy.c_str(), record.size() + signature.size()) ||
        !base::start_trial(base::kBootAttempts, slot)) {
        static_cast<void>(base::remove_entry(copy.c_str()));
        return false;
    }
    return base::rename_over(copy.c_str(), slot_file);
}

// The record's own signatures, when they follow it in the partition, go into the slot file with
// it, so that a slot copied from a verified rescue image verifies too.
void install_into_slot(std::span<const std::uint8_t> record, char slot_digit) {
    std::printf("\nInstalling recovery image as image%c...\n", slot_digit);
    installer::InstallRecord entry({.source = "rescue-image", .from = "rescue"});
    const RecordHeader h = parse_header16(record.first<RECORD_HEADER_SIZE>());
    const std::size_t index = entry.add(h.type(), h.id, std::string("slot") + slot_digit);
    entry.save();
    const std::vector<std::uint8_t> own_signatures =
        signing::load_own_signatures(rescue_partition(), record.size());
    const bool copied = copy_into_slot(record, own_signatures, slot_digit);
    entry.set_outcome(index, copied ? "written" : "failed");
    entry.result(copied ? "installed" : "failed", copied ? nullptr : "write");
    entry.save();
    if (!copied) {
        // The recovery application still boots, from the tarball; the copy's remains go, so
        // that a full /tmp leaves room for its unpacking.
        static_cast<void>(std::remove(base::kDownloadImage));
        std::fprintf(stderr, "Failed to install recovery image as image%c.\n", slot_digit);
        return;
    }
    const int slot = slot_digit - '0';
    std::printf("Setting boot image to %d\n", slot);
    api_set_image(static_cast<std::uint8_t>(slot));
    api_set_booted_image(static_cast<std::uint8_t>(slot));
}

}  // namespace

int extract_image_from_flash(const BootSettings& settings) {
    File tarball(std::fopen(base::kTarball, "wb"));
    if (!tarball) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        launch::journal::tried("rescue-image", "no-tarball");
        board_reset();
    }

    // Without flash the header was never read: zeros, which no usable type matches.
    std::array<std::uint8_t, RECORD_PROBE_SIZE> probe{};
    if (api_flash_read(probe.data(), rescue_fd, 0, RECORD_PROBE_SIZE) != 0) {
        probe.fill(0);
    }
    const RecordHeader h = parse_probe(probe);
    const bool diags = h.type() == IMAGE_DIAGS;
    const char* target = diags ? "diags" : "rescue-image";
    if (!diags && h.type() != IMAGE_APPLICATION) {
        std::fputs("Image not found... \n", stderr);
        launch::journal::tried(target, "missing");
        return 0;
    }

    LoadedRecord record;
    if (!read_intact_record(h, record)) {
        std::fputs("Image CRC failed. Quitting\n", stderr);
        launch::journal::tried(target, "crc");
        return 0;
    }
    // With verify=on the record is checked as a slot file's is: its own signature, which the
    // installer writes right after it, by a key of the board. Unverified, it is not booted.
    if (settings.verify_enable != 0 &&
        !signing::check_slot_record(rescue_partition(), 0, record.bytes, signing::kKeysDir)) {
        std::fputs("Rescue image signature not verified, not booting it.\n", stderr);
        launch::journal::tried(target, "signature");
        return 0;
    }
    const std::span<const std::uint8_t> payload = record.payload();
    std::fwrite(payload.data(), 1, payload.size(), tarball.get());
    tarball.reset();

    if (diags) {
        std::puts("Launching diagnostics image");
        api_set_booted_image(kBootedFromFlash);
    } else {
        std::fputs("Install recovery image as image 1 or 2 (hit return to just boot image): ",
                   stdout);
        std::fflush(stdout);
        // At most 7 characters; the rest of a longer answer stays unread on the console.
        std::array<char, 8> answer{};
        if (std::fgets(answer.data(), static_cast<int>(answer.size()), stdin) != nullptr) {
            if (answer[0] == '1' || answer[0] == '2') {
                install_into_slot(record.bytes, answer[0]);
            } else {
                std::puts(
                    "\nBooting recovery image. You will need to download and install an image "
                    "before rebooting");
                api_set_booted_image(kBootedFromFlash);
            }
        }
    }
    record = {};
    launch::journal::booting(target);
    launch_image(settings, diags ? 1 : 0);
}
