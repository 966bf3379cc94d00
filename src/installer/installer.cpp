// The image package installer: one pass over a downloaded package, record by record, each
// checked (CRC, format, size limit) and written to its flash partition or image slot file.
#include "installer/installer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "base/file.hpp"
#include "base/io.hpp"
#include "base/partitions.hpp"
#include "base/paths.hpp"
#include "base/progress.hpp"
#include "base/unique_fd.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/byte_order.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "installer/installer_testing.hpp"

namespace {

// Header dump switch of the walk; left off on the board.
std::uint8_t verbose = 0;

// "" on the board; a directory under the build tree for the fuzz target.
std::string file_root;

// Slot files are written in pieces of this size, with the percentage shown after each.
constexpr std::size_t kSlotChunk = 0x10000;
// The slot answer: at most 31 characters.
constexpr int kAnswerSize = 32;

// What boots an application record at once; handed in by the launcher.
InstallerBoot boot_at_once = nullptr;

struct FlashTarget {
    const char* heading;
    const char* name;      // in "Bad crc for %s: ..."
    const char* big_name;  // in "%s image is too big for flash ..."
    const char* write_failed;
    int* fd;
    std::uint32_t type;
    base::PartitionId partition;
    bool limit_on_len;  // the boot loader's limit is on its payload, the others' on the record
    bool payload_only;  // the boot loader goes to flash without its record header
};

constexpr FlashTarget kFlashTargets[] = {
    {"Installing Boot Loader: ", "UBOOT", "UBOOT", "Uboot image update failed", &uboot_fd,
     IMAGE_BOOT, base::PartitionId::uboot, true, true},
    {"Installing Kernel: ", "KERNEL", "KERNEL", "kernel image update failed", &kernel_fd,
     IMAGE_KERNEL, base::PartitionId::kernel, false, false},
    {"Installing Root Filesystem: ", "RFS", "RFS", "RFS image update failed", &rfs_fd, IMAGE_RFS,
     base::PartitionId::rfs, false, false},
    {"Installing Device Tree: ", "DFT", "DFT", "DFT image update failed", &device_tree_fd,
     IMAGE_DFT, base::PartitionId::devicetree, false, false},
    {"Installing Diagnostics: ", "DIAGNOSTICS IMAGE", "DIAGS", "DIAGS image update failed",
     &rescue_fd, IMAGE_DIAGS, base::PartitionId::rescue, false, false},
};

const FlashTarget* flash_target(std::uint32_t type) {
    for (const FlashTarget& t : kFlashTargets) {
        if (t.type == type) {
            return &t;
        }
    }
    return nullptr;
}

using base::File;
using base::UniqueFd;

std::string board_path(const std::string& path) {
    return file_root + path;
}

std::string slot_path(std::int32_t slot) {
    return board_path(base::slot_path(slot));
}

// The record is written here first and renamed over the slot file once it is whole on flash.
// The boot path opens only image1 and image2, so a copy left by a power cut is never booted.
std::string slot_temp_path(std::int32_t slot) {
    return slot_path(slot) + ".new";
}

void remove_stale_slot_copies() {
    for (const std::int32_t slot : {1, 2}) {
        static_cast<void>(::unlink(slot_temp_path(slot).c_str()));
    }
}

// Makes the rename itself durable; the slot file is already whole whatever happens here.
void sync_directory(const std::string& dir) {
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) {
        static_cast<void>(::fsync(fd.get()));
    }
}

using image::LoadedRecord;

class Installer {
public:
    Installer(std::uint8_t check_versions, std::int32_t slot)
        : check_versions_(check_versions), slot_(slot) {}

    int run(const char* path);

private:
    enum class Step { next, failed, boot_now };

    Step install_flash(const FlashTarget& target, const LoadedRecord& rec);
    Step install_application(const LoadedRecord& rec);
    void ask_slot();
    bool write_slot_file(std::span<const std::uint8_t> record);
    bool write_tarball(std::span<const std::uint8_t> payload);

    std::uint8_t check_versions_;
    std::int32_t slot_;
    std::uint8_t installed_ = 0;
};

int Installer::run(const char* path) {
    const UniqueFd package(path != nullptr ? ::open(path, O_RDONLY | O_CLOEXEC) : -1);
    struct stat st {};
    if (!package || ::fstat(package.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("Cannot open image package %s\n", path != nullptr ? path : "(none)");
        return 0;
    }
    const image::FileSource source(package.get(), static_cast<std::uint64_t>(st.st_size));
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    remove_stale_slot_copies();

    std::uint64_t start = 0;
    for (;;) {
        std::uint8_t probe[RECORD_PROBE_SIZE] = {};
        if (image::read_probe(source, start, probe) < sizeof probe) {
            std::puts("File processed");
            return installed_;
        }
        display_header(probe, verbose);
        const RecordHeader h = parse_probe(probe);
        const std::uint32_t type = h.type();
        const FlashTarget* target = flash_target(type);
        const bool sound = classify_record(h) == RecordFault::none;

        if (target == nullptr && type != IMAGE_APPLICATION) {
            // Unknown types are passed over unread, whatever length they claim (a garbage tail
            // after the last record is one). One whose lengths cannot be stepped over ends the
            // walk as the end of the file does.
            if (!sound) {
                std::puts("File processed");
                return installed_;
            }
            start += h.record_length();
            continue;
        }

        LoadedRecord rec;
        // A read error leaves no bytes: the record fails its CRC like one cut short.
        if (image::load_record(source, start, h, rec) == image::LoadResult::no_memory) {
            std::printf("Failed to allocate buffer for image (%d)\n",
                        static_cast<int>(h.record_length()));
            return 0;
        }

        const Step step =
            target != nullptr ? install_flash(*target, rec) : install_application(rec);
        if (step == Step::failed) {
            return 0;
        }
        if (step == Step::boot_now) {
            if (boot_at_once == nullptr || !write_tarball(rec.payload())) {
                return 0;
            }
            boot_at_once(0);
        }
        start += h.record_length();
    }
}

Installer::Step Installer::install_flash(const FlashTarget& target, const LoadedRecord& rec) {
    std::fputs(target.heading, stdout);
    std::fflush(stdout);

    const std::uint32_t crc = rec.computed_crc();
    if (!rec.whole || crc != rec.header.crc) {
        std::printf("Bad crc for %s: 0x%08x, voiding download\n", target.name,
                    static_cast<unsigned>(crc));
        return Step::failed;
    }
    const std::uint32_t size = target.limit_on_len ? rec.header.len : rec.header.record_length();
    const std::uint32_t limit = base::partition(target.partition).install_limit;
    if (size > limit) {
        std::printf("%s image is too big for flash (%d > %d)\n", target.big_name,
                    static_cast<int>(size), static_cast<int>(limit));
        return Step::failed;
    }
    if (check_versions_ != 0 && verifyMatchingHeaders(rec.bytes.data(), slot_) == 1) {
        std::puts("Image has same version as existing image. Skipping update...");
        return Step::next;
    }
    const std::span<const std::uint8_t> data = target.payload_only ? rec.payload() : rec.bytes;
    if (api_flash_write(data.data(), *target.fd, 0, static_cast<std::uint32_t>(data.size()), 1) <
        0) {
        std::puts(target.write_failed);
        return Step::failed;
    }
    if (target.type == IMAGE_DIAGS) {
        std::puts("done");
    }
    installed_ = 1;
    return Step::next;
}

// The operator's answer holds for the rest of the package.
void Installer::ask_slot() {
    std::fputs("Install image as image 1 or 2 (hit return to just boot image): ", stdout);
    std::fflush(stdout);
    char answer[kAnswerSize] = {};
    if (std::fgets(answer, kAnswerSize, stdin) == nullptr) {
        return;
    }
    // The rest of an over-long answer is dropped here, so that it cannot reach the rescue
    // menu as keys once the installation is over.
    if (std::strchr(answer, '\n') == nullptr) {
        int c = 0;
        while ((c = std::getchar()) != EOF && c != '\n') {
        }
    }
    if (answer[0] == '1' || answer[0] == '2') {
        slot_ = answer[0] - '0';
    }
}

Installer::Step Installer::install_application(const LoadedRecord& rec) {
    std::fputs("Installing Application: ", stdout);
    std::fflush(stdout);

    const std::uint32_t crc = rec.computed_crc();
    if (!rec.whole || crc != rec.header.crc) {
        std::printf("Bad crc for APPLICATION: 0x%08x, voiding download\n",
                    static_cast<unsigned>(crc));
        return Step::failed;
    }
    if (slot_ == 0) {
        ask_slot();
    }
    if (slot_ == 0) {
        return Step::boot_now;
    }
    std::printf("Installing image as image%d: ", static_cast<int>(slot_));
    std::fflush(stdout);
    if (check_versions_ != 0 && verifyMatchingHeaders(rec.bytes.data(), slot_) == 1) {
        std::printf("Image%d has same version as existing image. Skipping update...\n",
                    static_cast<int>(slot_));
        return Step::next;
    }
    if (!write_slot_file(rec.bytes)) {
        return Step::failed;
    }
    installed_ = 1;
    static_cast<void>(api_set_image(static_cast<std::uint8_t>(slot_)));
    return Step::next;
}

bool Installer::write_slot_file(std::span<const std::uint8_t> record) {
    const int slot = static_cast<int>(slot_);
    const std::string dir = board_path(base::kImagesDir);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        static_cast<void>(::mkdir(dir.c_str(), 0755));
    }
    const std::string temp = slot_temp_path(slot_);
    const auto fail = [&](int err) {
        std::printf("Image%d update failed (err %d)\n", slot, err);
        static_cast<void>(::unlink(temp.c_str()));
        return false;
    };

    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        return fail(errno);
    }
    const base::Progress progress("    ");
    const std::uint64_t total = record.size();
    std::uint64_t done = 0;
    while (done < total) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kSlotChunk, total - done));
        const base::Transfer t = base::write_all(fd.get(), record.subspan(done, n));
        if (!t) {
            return fail(t.error);
        }
        done += n;
        progress.show(done, total);
    }
    progress.finish();
    // The old slot file stays until the new one is whole on flash.
    if (::fsync(fd.get()) != 0 || fd.close() != 0 ||
        std::rename(temp.c_str(), slot_path(slot_).c_str()) != 0) {
        return fail(errno);
    }
    sync_directory(dir);
    std::printf("\nImage%d updated succeeded\n", slot);
    return true;
}

bool Installer::write_tarball(std::span<const std::uint8_t> payload) {
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
    if (std::fclose(tarball.release()) != 0) {
        std::printf("Image unpack failed (err %d)\n", errno);
        return false;
    }
    return true;
}

}  // namespace

void installer_set_boot(InstallerBoot boot) {
    boot_at_once = boot;
}

void installer_set_root_for_tests(const std::string& root) {
    file_root = root;
}

int processLamelImage(const char* path, std::uint8_t check_versions, std::int32_t slot) {
    Installer installer(check_versions, slot);
    return installer.run(path);
}

int read_flash_image_header(std::uint32_t type, std::uint8_t* header, std::int32_t slot) {
    if (header == nullptr) {
        return 0;
    }
    std::memset(header, 0, RECORD_HEADER_SIZE);
    int fd = -1;
    std::uint32_t offset = 0;
    switch (type) {
        case IMAGE_APPLICATION: {
            File slot_file(std::fopen(slot_path(slot).c_str(), "rb"));
            if (!slot_file) {
                return 0;
            }
            static_cast<void>(std::fread(header, 1, RECORD_HEADER_SIZE, slot_file.get()));
            return 1;
        }
        case IMAGE_BOOT:
            fd = uboot_fd;
            offset = BOOT_HEADER_COPY_OFFSET;
            break;
        case IMAGE_KERNEL:
            fd = kernel_fd;
            break;
        case IMAGE_RFS:
            fd = rfs_fd;
            break;
        case IMAGE_DFT:
            fd = device_tree_fd;
            break;
        case IMAGE_DIAGS:
            fd = rescue_fd;
            break;
        default:
            std::printf("Unknown image type 0x%x \n", static_cast<unsigned>(type));
            return 0;
    }
    // A failed or short read leaves zeros, which no installed header matches.
    static_cast<void>(api_flash_read(header, fd, offset, RECORD_HEADER_SIZE));
    return 1;
}

int verifyMatchingHeaders(const std::uint8_t* header, std::int32_t slot) {
    if (header == nullptr) {
        return 0;
    }
    const std::uint32_t type = be32_at(header, 8) & ~RECORD_EXTENDED;
    std::uint8_t stored[RECORD_HEADER_SIZE] = {};
    if (read_flash_image_header(type, stored, slot) == 0) {
        return 0;
    }
    // The boot loader's copy of its header is part of its own payload, which cannot hold its
    // own crc: only len, magic and id are compared.
    const std::size_t from = type == IMAGE_BOOT ? 4 : 0;
    return std::memcmp(header + from, stored + from, RECORD_HEADER_SIZE - from) == 0 ? 1 : 0;
}

int install_package_on_board(const char* path, std::uint8_t check_versions, std::int32_t slot) {
    static_cast<void>(api_i2c_init());
    static_cast<void>(api_flash_init());
    const int result = processLamelImage(path, check_versions, slot);
    static_cast<void>(api_i2c_close());
    return result;
}
