#include "installer/slot_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/boot_attempts.hpp"
#include "base/durable_file.hpp"
#include "base/file.hpp"
#include "base/io.hpp"
#include "base/paths.hpp"
#include "base/progress.hpp"
#include "base/untrusted_file.hpp"

namespace installer {

namespace {

using base::File;

std::string file_root;

// Slot files are written in pieces of this size, with the percentage shown after each.
constexpr std::size_t kSlotChunk = 0x10000;

// The record is written here first and renamed over the slot file once it is whole on flash.
// The boot path opens only image1 and image2, so a copy left by a power cut is never booted.
std::string slot_temp_path(std::int32_t slot) {
    return slot_path(slot) + ".new";
}

}  // namespace

std::string board_path(const std::string& path) {
    return file_root + path;
}

std::string slot_path(std::int32_t slot) {
    return board_path(base::slot_path(slot));
}

void remove_stale_slot_copies() {
    for (const std::int32_t slot : {1, 2}) {
        static_cast<void>(base::remove_entry(slot_temp_path(slot).c_str()));
    }
}

void set_file_root(const std::string& root) {
    file_root = root;
}

bool write_slot_file(std::int32_t slot_number, std::span<const std::uint8_t> record,
                     std::span<const std::uint8_t> trailer) {
    const int slot = static_cast<int>(slot_number);
    const std::string dir = board_path(base::kImagesDir);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        static_cast<void>(::mkdir(dir.c_str(), 0755));
    }
    // Made afresh: a link or FIFO left at the copy's name is removed, never followed or opened.
    base::DurableFile file(AT_FDCWD, slot_temp_path(slot_number), slot_path(slot_number), 0644,
                           base::DurableFile::Place::untrusted);
    const auto fail = [&](int err) {
        std::printf("Image%d update failed (err %d)\n", slot, err);
        return false;  // the copy goes with `file`
    };
    if (!file) {
        return fail(errno);
    }
    const base::Progress progress("    ");
    const std::uint64_t total = record.size();
    std::uint64_t done = 0;
    while (done < total) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kSlotChunk, total - done));
        const base::Transfer t = file.write(record.subspan(done, n));
        if (!t) {
            return fail(t.error);
        }
        done += n;
        progress.show(done, total);
    }
    if (!trailer.empty()) {
        const base::Transfer t = file.write(trailer);
        if (!t) {
            return fail(t.error);
        }
    }
    progress.finish();
    // The old slot file stays until the new one is whole on flash. The slot goes on trial with
    // no attempts first: a power cut in between puts the old file on trial, never the new one
    // under the old file's state. A slot confirmed in this boot is the old file: mplaunch-confirm
    // must not confirm the new one for it.
    if (!file.finish() || !base::start_trial(board_path(base::kBootAttempts).c_str(), slot)) {
        return fail(errno);
    }
    if (base::booted_slot(board_path(base::kBootedSlot).c_str()) == slot) {
        base::forget_booted_slot(board_path(base::kBootedSlot).c_str());
    }
    if (!file.replace()) {
        return fail(errno);
    }
    std::printf("\nImage%d updated succeeded\n", slot);
    return true;
}

bool write_tarball(std::span<const std::uint8_t> payload) {
    std::puts("Booting downloaded image");
    File tarball(std::fopen(board_path(base::kTarball).c_str(), "wb"));
    if (!tarball) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return false;
    }
    // The tail of the payload may still sit in the stream's buffer: a write error can show up
    // only when it is flushed, and tar must not get a truncated archive unannounced.
    if (std::fwrite(payload.data(), 1, payload.size(), tarball.get()) != payload.size() ||
        std::fflush(tarball.get()) != 0) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return false;
    }
    std::puts("Image ready to boot...");
    if (!base::close_file(tarball)) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return false;
    }
    return true;
}

}  // namespace installer
