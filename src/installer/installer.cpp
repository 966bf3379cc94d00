// The image package installer: one pass over a downloaded package, record by record, each
// checked (CRC, format, size limit) and written to its flash partition or image slot file.
#include "installer/installer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "base/partitions.hpp"
#include "base/unique_fd.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "image/signature.hpp"
#include "installer/installer_testing.hpp"
#include "installer/slot_files.hpp"

namespace {

// Header dump switch of the walk; left off on the board.
std::uint8_t verbose = 0;

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

using image::LoadedRecord;

class Installer {
public:
    Installer(std::uint8_t check_versions, std::int32_t slot)
        : check_versions_(check_versions), slot_(slot) {}

    int run(const char* path);

private:
    enum class Step { next, failed, boot_now };

    Step install_flash(const FlashTarget& target, const LoadedRecord& rec);
    Step install_application(const LoadedRecord& rec, std::span<const std::uint8_t> own_signature);
    void ask_slot();

    std::uint8_t check_versions_;
    std::int32_t slot_;
    std::uint8_t installed_ = 0;
};

int Installer::run(const char* path) {
    const base::UniqueFd package(path != nullptr ? ::open(path, O_RDONLY | O_CLOEXEC) : -1);
    struct stat st {};
    if (!package || ::fstat(package.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("Cannot open image package %s\n", path != nullptr ? path : "(none)");
        return 0;
    }
    const image::FileSource source(package.get(), static_cast<std::uint64_t>(st.st_size));
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");

    // Signed packages: on a board with keys nothing is written unless the package signature
    // holds under one of them.
    if (const char* refusal = signing::verdict_line(signing::check_package(
            source, signing::load_keys(installer::board_path(signing::kKeysDir))))) {
        std::puts(refusal);
        return 0;
    }

    installer::remove_stale_slot_copies();

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

        // An application record's own signature, right after it, goes into the slot file too.
        LoadedRecord own_signature;
        if (target == nullptr) {
            signing::load_own_signature(source, start + h.record_length(), own_signature);
        }
        const Step step = target != nullptr ? install_flash(*target, rec)
                                            : install_application(rec, own_signature.bytes);
        if (step == Step::failed) {
            return 0;
        }
        if (step == Step::boot_now) {
            if (boot_at_once == nullptr || !installer::write_tarball(rec.payload())) {
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

Installer::Step Installer::install_application(const LoadedRecord& rec,
                                               std::span<const std::uint8_t> own_signature) {
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
    if (!installer::write_slot_file(slot_, rec.bytes, own_signature)) {
        return Step::failed;
    }
    installed_ = 1;
    static_cast<void>(api_set_image(static_cast<std::uint8_t>(slot_)));
    return Step::next;
}

}  // namespace

void installer_set_boot(InstallerBoot boot) {
    boot_at_once = boot;
}

void installer_set_root_for_tests(const std::string& root) {
    installer::set_file_root(root);
}

int processLamelImage(const char* path, std::uint8_t check_versions, std::int32_t slot) {
    Installer installer(check_versions, slot);
    return installer.run(path);
}

int install_package_on_board(const char* path, std::uint8_t check_versions, std::int32_t slot) {
    static_cast<void>(api_i2c_init());
    static_cast<void>(api_flash_init());
    const int result = processLamelImage(path, check_versions, slot);
    static_cast<void>(api_i2c_close());
    return result;
}
