// Start-up and boot selection: which slot to boot, one boot attempt from a slot file with its
// record walk, and the fallback to the other slot and to the rescue image.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>

#include "base/boot_attempts.hpp"
#include "base/file.hpp"
#include "base/interrupt.hpp"
#include "base/paths.hpp"
#include "base/untrusted_file.hpp"
#include "command/command.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "image/signature.hpp"
#include "launch/launch_steps.hpp"
#include "mgmt/mgmt_port.hpp"
#include "release/release.hpp"
#include "rescue/rescue_menu.hpp"

namespace {

using base::File;
using image::LoadedRecord;

// Set just before the second slot is tried: from then on every failed attempt is final.
std::uint8_t tried_alt_image = 0;

bool is_bootable(std::uint32_t type) {
    return type == IMAGE_APPLICATION || type == IMAGE_DIAGS;
}

RecordHeader view(const std::uint8_t* probe) {
    return parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(probe, RECORD_PROBE_SIZE));
}

// Reads the record that starts at the stream's position whole and checks it. A record that breaks
// the format, that is too short to hold the CRC range, that the heap cannot hold or that the
// file does not hold in full is damaged like one with a bad CRC: nothing is checked or written
// from memory that was never read.
bool read_intact_record(std::FILE* fp, const RecordHeader& header, LoadedRecord& record) {
    const off_t start = ftello(fp);
    if (start < 0 || header.record_length() < RECORD_PROBE_SIZE) {
        return false;
    }
    const image::FileSource source = image::FileSource::of_fd(fileno(fp));
    return image::load_record(source, static_cast<std::uint64_t>(start), header, record) ==
               image::LoadResult::loaded &&
           record.intact();
}

// The end of a boot path that has nothing left to try.
[[noreturn]] void shell_then_reset(const BootSettings& settings) {
    if (settings.shell_enable != 0) {
        launch::operator_shell();
    }
    board_reset();
}

[[noreturn]] void rescue_then_reset(const BootSettings& settings) {
    extract_image_from_flash(settings);
    shell_then_reset(settings);
}

// Slots passed over in this boot for their unconfirmed attempts: said once, whichever attempt
// comes back to the slot.
bool passed_over[2] = {false, false};

// A slot file passed over in this boot because no key of the board verifies it: like a slot
// passed over for its attempts, it must not end the boot in a reset that boots it again.
bool refused_unverified = false;

// With verify=on, whether the record at `offset` of the slot file of `booted` (whole in `record`)
// carries its own signature made by a key of the board, with a security counter not below the
// board's floor: nullptr; otherwise its one line says why it is passed over, and the verdict for
// the boot history.
const char* refused_by_verify(std::FILE* fp, std::uint64_t offset, const LoadedRecord& record,
                              int booted) {
    std::uint32_t counter = 0;
    if (!signing::check_slot_record(image::FileSource::of_fd(fileno(fp)), offset, record.bytes,
                                    signing::kKeysDir, &counter)) {
        std::fprintf(stderr, "Image%d signature not verified, passing it over.\n", booted);
        return "signature";
    }
    const release::FloorRefusal below = release::floor_refusal(counter);
    if (below.verdict != nullptr) {
        std::fprintf(stderr, "Image%d %s, passing it over.\n", booted, below.text.c_str());
    }
    return below.verdict;
}

// Whether the board holds a key file: then the slot an application boots from is left for
// mplaunch-confirm, which raises the floor, whether or not boot attempts are counted.
bool board_has_keys() {
    return signing::load_keys(signing::kKeysDir).present > 0;
}

// The boot attempts as the file holds them. A name that is not a regular file is said once per
// boot: both slots then read as on trial with none, and the next count replaces it.
base::BootAttempts read_attempts() {
    static bool said = false;
    base::StateFile found = base::StateFile::read;
    const base::BootAttempts attempts = base::read_boot_attempts(base::kBootAttempts, &found);
    if (found == base::StateFile::not_regular && !said) {
        std::fprintf(stderr, "%s is not a regular file: boot attempts counted again from 0.\n",
                     base::kBootAttempts);
        said = true;
    }
    return attempts;
}

// With counting on (`boot_limit` not 0), whether `slot` is on trial and already has boot_limit
// attempts: its application started that often and never confirmed that it came up, so it is
// treated like a slot file without a bootable record. A confirmed slot is never passed over.
bool attempts_used_up(std::uint8_t boot_limit, int slot) {
    if (boot_limit == 0) {
        return false;
    }
    bool& said = passed_over[slot == 2 ? 1 : 0];
    const base::SlotAttempts state = read_attempts().of(slot);
    if (!said && !state.confirmed && state.count >= boot_limit) {
        std::fprintf(stderr, "Image%d not confirmed after %u boots, passing it over.\n", slot,
                     unsigned{state.count});
        said = true;
    }
    if (said) {
        launch::journal::tried(slot, "attempts");
    }
    return said;
}

// One more attempt for `slot` when it is on trial, on /user before the launch, so that a boot
// that never comes back still counts; a confirmed slot's boot writes nothing. A count that
// cannot be kept is said at every boot, and the slot boots all the same: passing a good slot
// over for a fault of /user could leave the board with none to boot.
void count_attempt(int slot) {
    base::BootAttempts attempts = read_attempts();
    base::SlotAttempts& state = attempts.of(slot);
    if (state.confirmed) {
        return;
    }
    ++state.count;  // below boot_limit, so at most 255
    launch::journal::counted(state.count);
    if (!base::write_boot_attempts(base::kBootAttempts, attempts)) {
        std::fprintf(stderr, "Image%d boot attempts cannot be kept (%s), booting it anyway.\n",
                     slot, std::strerror(errno));
    }
}

// A slot file opened as untrusted: a link, FIFO, device or directory in its place is not opened
// (and goes into the boot history as such).
File open_slot(int slot) {
    base::Found found = base::Found::failed;
    base::UniqueFd fd = base::open_regular(base::slot_path(slot), found);
    File file(fd ? ::fdopen(fd.get(), "rb") : nullptr);
    if (file) {
        static_cast<void>(fd.release());
    } else {
        launch::journal::tried(slot, found == base::Found::not_regular ? "not-a-file" : "missing");
    }
    return file;
}

}  // namespace

void sig_handler(int /*signum*/) {
    sig_quit_raised.store(1);
}

int sig_init() {
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(SIGINT, &action, nullptr);
}

int which_image() {
    return api_get_image() == 2 ? 2 : 1;
}

int parse_image(std::FILE* fp, std::uint8_t* header) {
    std::uint64_t offset = 0;
    for (;;) {
        // Probe into a scratch buffer so that `header` keeps the last whole header read: a short
        // tail at the end of the file must not leave half a header behind for the messages.
        std::uint8_t probe[RECORD_PROBE_SIZE];
        if (std::fread(probe, 1, sizeof probe, fp) != sizeof probe) {
            return 0;
        }
        std::copy(probe, probe + sizeof probe, header);
        const RecordHeader h = view(probe);
        if (is_bootable(h.type())) {
            return fseeko(fp, static_cast<off_t>(offset), SEEK_SET) == 0 ? 1 : 0;
        }
        // A record whose lengths break the format gives no next offset that can be trusted (a
        // length of 0 would probe the same record for ever): the file has no bootable record.
        if (classify_record(h) != RecordFault::none) {
            return 0;
        }
        offset += h.record_length();
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
            fseeko(fp, static_cast<off_t>(offset), SEEK_SET) != 0) {
            return 0;
        }
    }
}

int extract_image(const BootSettings& settings, int slot) {
    if (slot != 1 && slot != 2) {
        return 0;
    }
    const int other = 3 - slot;
    if (attempts_used_up(settings.boot_limit, slot)) {
        if (tried_alt_image != 0) {
            rescue_then_reset(settings);
        }
        return 0;
    }

    // The slot whose file is booted: the other one when this slot's file is missing.
    int booted = slot;
    File image(open_slot(slot));
    if (!image) {
        std::fprintf(stderr, "Failed to open Application image %d. Trying image %d.\n", slot,
                     other);
        booted = other;
        if (attempts_used_up(settings.boot_limit, other)) {
            rescue_then_reset(settings);
        }
        image = open_slot(other);
        if (!image) {
            std::fprintf(stderr, "Failed to open Application image %d. Trying rescue image\n",
                         other);
            rescue_then_reset(settings);
        }
    }

    File tarball(std::fopen(base::kTarball, "wb"));
    if (!tarball) {
        std::fputs("Failed to open application image output file.\n", stderr);
        launch::journal::tried(booted, "no-tarball");
        image.reset();
        shell_then_reset(settings);
    }
    // The payload goes out in one write(2) straight from the record buffer: a stdio buffer would
    // only add a copy and split off its tail into a second write at close.
    std::setvbuf(tarball.get(), nullptr, _IONBF, 0);

    // Zero until a whole header has been read: an empty or tiny file reports magic 0x0.
    std::uint8_t header[RECORD_PROBE_SIZE] = {};
    if (parse_image(image.get(), header) == 0) {
        launch::journal::tried(booted, "no-record");
        tarball.reset();
        image.reset();
        if (tried_alt_image != 0) {
            std::fputs("No valid application image found. Trying rescue image\n", stderr);
            rescue_then_reset(settings);
        }
        std::fprintf(stderr, "Image has invalid header 0x%x. (0x%x)\n", view(header).magic,
                     IMAGE_DIAGS);
        std::fprintf(stderr, "Image%d has invalid header... trying Image%d.\n", slot, other);
        return 0;
    }

    const RecordHeader h = view(header);
    const off_t record_start = settings.verify_enable != 0 ? ftello(image.get()) : 0;
    LoadedRecord record;
    if (!read_intact_record(image.get(), h, record)) {
        launch::journal::tried(booted, "crc");
        if (tried_alt_image != 0) {
            std::fputs("Both image1 and image2 failed.\n", stderr);
            image.reset();
            tarball.reset();
            // With a slot passed over for its attempts a reset would boot the same way again:
            // the rescue image ends the loop.
            if (passed_over[0] || passed_over[1] || refused_unverified) {
                rescue_then_reset(settings);
            }
            shell_then_reset(settings);
        }
        std::fprintf(stderr, "Image%d CRC failed, trying Image%d now.\n", slot, other);
        return 0;
    }

    // Checked before anything of it is unpacked; handled like a slot file without a bootable
    // record: the other slot, then the rescue image from flash.
    const char* refused =
        settings.verify_enable != 0
            ? refused_by_verify(image.get(), static_cast<std::uint64_t>(record_start), record,
                                booted)
            : nullptr;
    if (refused != nullptr) {
        launch::journal::tried(booted, refused);
        refused_unverified = true;
        record = {};
        tarball.reset();
        image.reset();
        if (tried_alt_image != 0) {
            rescue_then_reset(settings);
        }
        return 0;
    }

    const std::span<const std::uint8_t> payload = record.payload();
    std::fwrite(payload.data(), 1, payload.size(), tarball.get());
    record = {};
    image.reset();
    tarball.reset();
    // The attempt's slot goes into the VPD, even when the other slot's file was booted for a
    // missing one; the slot whose file was booted is counted, and left in RAM for
    // mplaunch-confirm (also without counting on a board with keys, for its floor).
    const bool counted = settings.boot_limit != 0;
    if (h.type() == IMAGE_APPLICATION && (counted || board_has_keys())) {
        if (counted) {
            count_attempt(booted);
        }
        if (!base::record_booted_slot(base::kBootedSlot, booted, counted)) {
            std::fprintf(stderr, "Image%d cannot be confirmed in this boot (%s: %s).\n", booted,
                         base::kBootedSlot, std::strerror(errno));
        }
    }
    api_set_booted_image(static_cast<std::uint8_t>(slot));
    if (settings.gdb_enable != 0 && settings.gdbserver_enable == 0) {
        extract_gdb(settings, slot);
    }
    launch::journal::booting(booted == 2 ? "slot2" : "slot1");
    launch_image(settings, h.type() == IMAGE_DIAGS ? 1 : 0);
}

void launcher_main() {
    // Left by an earlier run only where /tmp outlives a boot; nothing this boot launches has
    // come from a slot yet.
    base::forget_booted_slot(base::kBootedSlot);
    sig_init();
    api_i2c_init();
    api_flash_init();
    const BootSettings settings = parse_uboot_env();
    // The rescue menu and the installer reach the launch's steps, with these settings, from here.
    launch::connect_hooks(settings);
    command::run_command("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
    launch::journal::begin();
    if (settings.rescue_enable != 0) {
        launch::journal::rescue_menu();
        run_rescue_mode();
    }
    if (settings.standalone_diags != 0) {
        run_standalone_diags();
    }
    const int slot = which_image();
    launch::journal::chosen(slot);
    if (settings.gdbserver_enable != 0) {
        mgmt_port_setup(1);
    }
    std::printf("Booting image '%d'\n", slot);
    if (extract_image(settings, slot) == 0) {
        const int other = 3 - slot;
        std::printf("Booting image '%d'\n", other);
        tried_alt_image = 1;
        extract_image(settings, other);
    }
    board_reset();
}
