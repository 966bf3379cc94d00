// The rescue image: one record at the start of the rescue partition that stays bootable when
// both image slots on /user are missing or damaged. A diagnostics record is booted at once; an
// application record is a recovery application that the operator may install into a slot.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>

#include "crc/crc.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "launch/launch_steps.hpp"

namespace {

using launch::File;
using launch::RecordBuffer;

// Booted-slot value for an image that came from flash rather than from a slot file.
constexpr std::uint8_t kBootedFromFlash = 4;

// The whole record, read from flash and checked; nullptr when it is damaged. The flash layer
// counts a short read as success and reads past the partition's end come back short, so a
// record that claims more than the partition holds is damaged before anything is allocated,
// and the buffer starts zeroed so that no byte of it is ever undefined.
RecordBuffer read_intact_record(const RecordHeader& header) {
    if (classify_record(header) != RecordFault::none) {
        return nullptr;
    }
    const std::uint32_t length = header.record_length();
    std::uint32_t partition_size = 0;
    if (length < RECORD_PROBE_SIZE || mtd_get_size(rescue_fd, &partition_size) != 1 ||
        length > partition_size) {
        return nullptr;
    }
    RecordBuffer record(static_cast<std::uint8_t*>(std::calloc(length, 1)));
    if (!record || api_flash_read(record.get(), rescue_fd, 0, length) != 0) {
        return nullptr;
    }
    if (CheckCrc(record.get() + 4, length - 4, header.crc) != 0) {
        return nullptr;
    }
    return record;
}

// Writes the record to /tmp/image and replaces the slot file with it. The slot file is written
// beside its final name and renamed over it, so a power cut during the copy leaves either the
// old file or the whole new one, never a damaged slot that the VPD byte names.
void install_into_slot(std::span<const std::uint8_t> record, char slot_digit) {
    std::printf("\nInstalling recovery image as image%c...\n", slot_digit);
    File image(std::fopen("/tmp/image", "wb"));
    if (!image) {
        std::fputs("Failed to open image file.\n", stderr);
        board_reset();
    }
    std::fwrite(record.data(), 1, record.size(), image.get());
    image.reset();

    launch::run_command("mkdir /user/images &> /dev/null");
    std::array<char, 160> command{};
    std::snprintf(command.data(), command.size(),
                  "cp /tmp/image /user/images/image%c.new && sync && "
                  "mv /user/images/image%c.new /user/images/image%c\n",
                  slot_digit, slot_digit, slot_digit);
    launch::run_command(command.data());

    const int slot = slot_digit - '0';
    std::printf("Setting boot image to %d\n", slot);
    api_set_image(static_cast<std::uint8_t>(slot));
    api_set_booted_image(static_cast<std::uint8_t>(slot));
}

}  // namespace

int extract_image_from_flash() {
    File tarball(std::fopen(launch::kTarball, "wb"));
    if (!tarball) {
        std::fputs("Failed to open AppOS tarfile.\n", stderr);
        board_reset();
    }

    // Without flash the header was never read: zeros, which no usable type matches.
    std::array<std::uint8_t, RECORD_PROBE_SIZE> probe{};
    if (api_flash_read(probe.data(), rescue_fd, 0, RECORD_PROBE_SIZE) != 0) {
        probe.fill(0);
    }
    const RecordHeader h = parse_probe(probe);
    const bool diags = h.type() == IMAGE_DIAGS;
    if (!diags && h.type() != IMAGE_APPLICATION) {
        std::fputs("Image not found... \n", stderr);
        return 0;
    }

    RecordBuffer record = read_intact_record(h);
    if (!record) {
        std::fputs("Image CRC failed. Quitting\n", stderr);
        return 0;
    }
    const std::uint32_t length = h.record_length();
    std::fwrite(record.get() + h.header_length(), 1, h.len, tarball.get());
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
                install_into_slot(std::span<const std::uint8_t>(record.get(), length), answer[0]);
            } else {
                std::puts(
                    "\nBooting recovery image. You will need to download and install an image "
                    "before rebooting");
                api_set_booted_image(kBootedFromFlash);
            }
        }
    }
    record.reset();
    launch_image(diags ? 1 : 0);
}
