// The image package installer: a check of the whole package, then one pass over it, record by
// record, each written to its flash partition or image slot file. Only a package whose every
// record is whole, intact and fits its home changes anything on the board.
#include "installer/installer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/partitions.hpp"
#include "base/unique_fd.hpp"
#include "crc/crc.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/compatible.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "image/signature.hpp"
#include "installer/install_record.hpp"
#include "installer/installer_testing.hpp"
#include "installer/slot_files.hpp"
#include "release/release.hpp"

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

// The check pass reads a record in pieces of this size: never a whole record in memory.
constexpr std::size_t kCheckPiece = 1 << 20;

// The bytes a flash partition offers a record: the installer's limit, or less on a board whose
// partition is smaller (its size from the flash geometry).
std::uint32_t room_for(const FlashTarget& target) {
    const std::uint32_t limit = base::partition(target.partition).install_limit;
    std::uint32_t size = 0;
    return mtd_get_size(*target.fd, &size) == 1 && size < limit ? size : limit;
}

const char* heading(const FlashTarget* target) {
    return target != nullptr ? target->heading : "Installing Application: ";
}

// The line that refuses a record of a flash type (`target`) or an application record (nullptr),
// given the CRC register over the bytes the package holds of it; "" when it may be installed.
std::string refusal(const FlashTarget* target, const RecordHeader& h, bool whole,
                    std::uint32_t crc) {
    char line[96];
    if (!whole || crc != h.crc) {
        std::snprintf(line, sizeof line, "Bad crc for %s: 0x%08x, voiding download\n",
                      target != nullptr ? target->name : "APPLICATION", static_cast<unsigned>(crc));
        return line;
    }
    if (target == nullptr) {
        return {};
    }
    const std::uint32_t size = target->limit_on_len ? h.len : h.record_length();
    const std::uint32_t room = room_for(*target);
    if (size > room) {
        std::snprintf(line, sizeof line, "%s image is too big for flash (%d > %d)\n",
                      target->big_name, static_cast<int>(size), static_cast<int>(room));
        return line;
    }
    return {};
}

// The walk both passes take (the probe walk of every reader): calls `visit` with each record of
// a flash or application type, its start and its flash target (nullptr for an application
// record) until `visit` returns false. Unknown types are passed over unread, whatever length they
// claim (a garbage tail after the last record is one); one whose lengths cannot be stepped over
// ends the walk as the end of the file does, and so does a tail shorter than a record header.
// True when the walk reached the end.
template <typename Visit>
bool walk(const image::ByteSource& source, Visit visit) {
    return image::walk_records(source, [&](const ProbedRecord& rec) {
               display_header(rec.header, verbose);
               const FlashTarget* target = flash_target(rec.header.type());
               return (target == nullptr && rec.header.type() != IMAGE_APPLICATION) ||
                      visit(rec.offset, rec.header, target);
           }).end != WalkEnd::stopped;
}

// Every record the install would write, read in pieces and checked (CRC, format, limit, the
// partition's size). The first bad record gets its heading and its line and refuses the package;
// it is the record refused in `record`.
bool records_acceptable(const image::ByteSource& source, installer::InstallRecord& record) {
    std::size_t index = 0;
    return walk(source, [&](std::uint64_t start, const RecordHeader& h, const FlashTarget* target) {
        std::uint32_t crc = CRC_START;
        std::uint64_t at = 0;  // record bytes seen; the CRC starts after the crc word
        const image::StreamResult read = image::stream_range(
            source, start, h.record_length(), kCheckPiece, [&](std::span<const std::uint8_t> b) {
                const std::size_t skip = at < 4 ? std::min<std::size_t>(4 - at, b.size()) : 0;
                crc = gen_crc(b.data() + skip, static_cast<std::uint32_t>(b.size() - skip), crc);
                at += b.size();
                return true;
            });
        const bool whole =
            read.done == h.record_length() && classify_record(h) == RecordFault::none;
        if (read.no_memory) {
            std::printf("Failed to allocate buffer for image (%d)\n",
                        static_cast<int>(h.record_length()));
            record.set_outcome(index, "refused");
            record.result("refused", "no-memory");
            return false;
        }
        const std::string refused = refusal(target, h, whole, crc);
        if (!refused.empty()) {
            std::fputs(heading(target), stdout);
            std::fputs(refused.c_str(), stdout);
            record.set_outcome(index, "refused");
            record.result("refused",
                          refused.starts_with("Bad crc") ? "record-crc" : "record-too-big");
            return false;
        }
        ++index;
        return true;
    });
}

// A package that names products is for those alone: on a board that has a product name, one of
// them must be it. No override: a package for another product is never right for this board.
bool product_acceptable(const image::ByteSource& source, installer::InstallRecord& record) {
    const image::Products products = image::package_products(source);
    if (products.damaged) {
        std::puts("Package product names are damaged, voiding download");
        record.result("refused", "products-damaged");
        return false;
    }
    if (products.names.empty()) {
        return true;
    }
    const std::optional<std::string> board =
        release::board_product(installer::board_path(release::kCompatibleFile));
    if (!board ||
        std::find(products.names.begin(), products.names.end(), *board) != products.names.end()) {
        return true;
    }
    std::printf("Package is for %s, not for this board (%s), voiding download\n",
                image::joined(products.names).c_str(), board->c_str());
    record.set("products", image::joined(products.names));
    record.result("refused", "other-product");
    return false;
}

// On a board with keys, a package whose security counter is below the board's floor is
// refused, unless the operator allowed an older one: then it is said and recorded.
bool release_acceptable(std::uint32_t counter, bool allow_older, InstallRefusal* refused,
                        installer::InstallRecord& record) {
    record.set("counter", std::to_string(counter));
    const std::optional<std::uint32_t> floor = release::read_floor();
    if (!floor) {
        std::puts("The board's security floor cannot be read, voiding download");
        record.result("refused", "floor-unknown");
        return false;
    }
    record.set("floor", std::to_string(*floor));
    if (counter >= *floor) {
        return true;
    }
    if (!allow_older) {
        std::printf(
            "Package security counter %lu is below the board's floor %lu, voiding download\n",
            static_cast<unsigned long>(counter), static_cast<unsigned long>(*floor));
        if (refused != nullptr) {
            *refused = InstallRefusal::below_floor;
        }
        record.result("refused", "below-floor");
        return false;
    }
    char line[128];
    std::snprintf(line, sizeof line,
                  "Installing an older package on the operator's word: security counter %lu, "
                  "the board's floor %lu.",
                  static_cast<unsigned long>(counter), static_cast<unsigned long>(*floor));
    std::puts(line);
    if (!release::record_override(installer::board_path(release::kOverridesFile).c_str(), line)) {
        std::printf("The override cannot be recorded in %s (%s), voiding download\n",
                    release::kOverridesFile, std::strerror(errno));
        record.result("refused", "override-unrecorded");
        return false;
    }
    record.set("override", "yes");
    return true;
}

// The install record's name for a signature verdict that refuses a package.
const char* verdict_reason(signing::Verdict verdict) {
    switch (verdict) {
        case signing::Verdict::not_signed:
            return "not-signed";
        case signing::Verdict::unknown_key:
            return "unknown-key";
        case signing::Verdict::does_not_hold:
            return "bad-signature";
        case signing::Verdict::damaged_key:
            return "damaged-key";
        case signing::Verdict::no_crypto:
            return "no-crypto";
        default:
            return "signature";
    }
}

// The check of the whole package before its first write: each verdict prints the operator's one
// line when it refuses. On a board with keys the package signature must hold under one of them
// before anything else is looked at, and its counter must not be below the board's floor; on a
// board without, signed and unsigned install alike. Then the products it names, then its records.
bool package_acceptable(const image::ByteSource& source, bool allow_older, InstallRefusal* refused,
                        installer::InstallRecord& record) {
    const signing::KeyRing ring = signing::load_keys(installer::board_path(signing::kKeysDir));
    std::uint32_t counter = 0;
    const signing::Verdict verdict = signing::check_package(source, ring, &counter);
    record.set("signature", verdict == signing::Verdict::holds     ? "holds"
                            : verdict == signing::Verdict::no_keys ? "no-keys"
                                                                   : verdict_reason(verdict));
    if (const char* line = signing::verdict_line(verdict)) {
        signing::report_damaged_keys(ring, stdout);
        std::puts(line);
        record.result("refused", verdict_reason(verdict));
        return false;
    }
    return product_acceptable(source, record) &&
           (verdict != signing::Verdict::holds ||
            release_acceptable(counter, allow_older, refused, record)) &&
           records_acceptable(source, record);
}

// The records the installation would write, in the order of its walk, for the install record.
void list_records(const image::ByteSource& source, installer::InstallRecord& record,
                  std::int32_t slot) {
    static_cast<void>(
        walk(source, [&](std::uint64_t, const RecordHeader& h, const FlashTarget* target) {
            record.add(h.type(), h.id,
                       target != nullptr ? base::partition(target->partition).name
                       : slot != 0       ? "slot" + std::to_string(slot)
                                         : "ask");
            return true;
        }));
}

// For the version check: whether the installed record of `target` (nullptr: the slot file of
// `slot`) is followed by the package's own signature of the record. A package that carries one
// is not the same version as a record installed without it.
bool holds_signature(const FlashTarget* target, std::int32_t slot, const LoadedRecord& rec,
                     std::span<const std::uint8_t> own_signature) {
    if (own_signature.empty()) {
        return true;
    }
    std::vector<std::uint8_t> stored(own_signature.size(), 0);
    const auto at = static_cast<std::uint32_t>(rec.bytes.size());
    if (target != nullptr) {
        static_cast<void>(api_flash_read(stored.data(), *target->fd, at,
                                         static_cast<std::uint32_t>(stored.size())));
    } else {
        const base::UniqueFd file(
            ::open(installer::slot_path(slot).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!file || ::pread(file.get(), stored.data(), stored.size(), at) !=
                         static_cast<ssize_t>(stored.size())) {
            return false;
        }
    }
    return std::equal(stored.begin(), stored.end(), own_signature.begin());
}

class Installer {
public:
    Installer(std::uint8_t check_versions, std::int32_t slot, bool allow_older,
              const InstallOrigin& origin)
        : check_versions_(check_versions),
          slot_(slot),
          allow_older_(allow_older),
          record_(origin) {}

    int run(const char* path, InstallRefusal* refused);

private:
    enum class Step { next, failed, boot_now };

    static bool announce(const FlashTarget* target, const LoadedRecord& rec);
    Step install_flash(const FlashTarget& target, const LoadedRecord& rec,
                       std::span<const std::uint8_t> own_signature);
    Step install_application(const LoadedRecord& rec, std::span<const std::uint8_t> own_signature);
    void ask_slot();

    // The outcome of the record being installed; a failed step ends the installation for
    // `reason`.
    Step outcome(Step step, const char* outcome, const char* reason = "write");

    std::uint8_t check_versions_;
    std::int32_t slot_;
    bool allow_older_;
    std::uint8_t installed_ = 0;
    installer::InstallRecord record_;
    std::size_t index_ = 0;  // of the record being installed, in the install record
};

int Installer::run(const char* path, InstallRefusal* refused) {
    const base::UniqueFd package(path != nullptr ? ::open(path, O_RDONLY | O_CLOEXEC) : -1);
    struct stat st {};
    if (!package || ::fstat(package.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        std::printf("Cannot open image package %s\n", path != nullptr ? path : "(none)");
        record_.result("failed", "cannot-open");
        record_.save();
        return 0;
    }
    const image::FileSource source(package.get(), static_cast<std::uint64_t>(st.st_size));
    std::puts("\nExtracting images ... Do *NOT* power cycle the switch.");
    list_records(source, record_, slot_);
    if (!package_acceptable(source, allow_older_, refused, record_)) {
        record_.save();
        return 0;
    }
    // On record before the first write: a cut from here on leaves it "interrupted".
    record_.save();
    installer::remove_stale_slot_copies();

    const bool to_the_end =
        walk(source, [&](std::uint64_t start, const RecordHeader& h, const FlashTarget* target) {
            LoadedRecord rec;
            // A read error leaves no bytes: the record fails its CRC like one cut short.
            if (image::load_record(source, start, h, rec) == image::LoadResult::no_memory) {
                std::printf("Failed to allocate buffer for image (%d)\n",
                            static_cast<int>(h.record_length()));
                outcome(Step::failed, "failed", "no-memory");
                return false;
            }
            // An application record's own signatures, right after it, go into the slot file
            // too; a diagnostics record's into the rescue partition right after the record.
            std::vector<std::uint8_t> own_signatures;
            if (target == nullptr || target->type == IMAGE_DIAGS) {
                own_signatures = signing::load_own_signatures(source, start + h.record_length());
            }
            const Step step = target != nullptr ? install_flash(*target, rec, own_signatures)
                                                : install_application(rec, own_signatures);
            if (step == Step::boot_now && boot_at_once != nullptr &&
                installer::write_tarball(rec.payload())) {
                record_.set_target(index_, "tarball");
                record_.set_outcome(index_, "booted");
                record_.result("booted");
                record_.save();
                boot_at_once(0);  // does not return
            }
            if (step == Step::boot_now) {
                record_.set_target(index_, "tarball");
                outcome(Step::failed, "failed", "boot");
            }
            ++index_;
            return step == Step::next;
        });
    if (!to_the_end) {
        record_.save();
        return 0;
    }
    std::puts("File processed");
    record_.result(installed_ != 0 ? "installed" : "unchanged");
    record_.save();
    return installed_;
}

Installer::Step Installer::outcome(Step step, const char* outcome, const char* reason) {
    record_.set_outcome(index_, outcome);
    if (step == Step::failed) {
        record_.result("failed", reason);
    }
    return step;
}

// The record's heading and, should the package have changed since its check, its refusal.
bool Installer::announce(const FlashTarget* target, const LoadedRecord& rec) {
    std::fputs(heading(target), stdout);
    std::fflush(stdout);
    const std::string refused = refusal(target, rec.header, rec.whole, rec.computed_crc());
    std::fputs(refused.c_str(), stdout);
    return refused.empty();
}

Installer::Step Installer::install_flash(const FlashTarget& target, const LoadedRecord& rec,
                                         std::span<const std::uint8_t> own_signature) {
    if (!announce(&target, rec)) {
        return outcome(Step::failed, "refused", "changed");
    }
    if (check_versions_ != 0 && verifyMatchingHeaders(rec.bytes.data(), slot_) == 1 &&
        holds_signature(&target, slot_, rec, own_signature)) {
        std::puts("Image has same version as existing image. Skipping update...");
        return outcome(Step::next, "same-version");
    }
    const std::span<const std::uint8_t> data = target.payload_only ? rec.payload() : rec.bytes;
    if (api_flash_write(data.data(), *target.fd, 0, static_cast<std::uint32_t>(data.size()), 1) <
        0) {
        std::puts(target.write_failed);
        return outcome(Step::failed, "failed");
    }
    // Written after the record, so that a cut in between leaves a record that does not verify.
    // One that does not fit the partition is left out: with verify=on that record is not booted.
    if (!own_signature.empty() && data.size() + own_signature.size() <= room_for(target) &&
        api_flash_write(own_signature.data(), *target.fd, static_cast<std::uint32_t>(data.size()),
                        static_cast<std::uint32_t>(own_signature.size()), 0) < 0) {
        std::puts(target.write_failed);
        return outcome(Step::failed, "failed");
    }
    if (target.type == IMAGE_DIAGS) {
        std::puts("done");
    }
    installed_ = 1;
    return outcome(Step::next, "written");
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
    if (!announce(nullptr, rec)) {
        return outcome(Step::failed, "refused", "changed");
    }
    if (slot_ == 0) {
        ask_slot();
    }
    if (slot_ == 0) {
        return Step::boot_now;
    }
    record_.set_target(index_, "slot" + std::to_string(slot_));
    std::printf("Installing image as image%d: ", static_cast<int>(slot_));
    std::fflush(stdout);
    if (check_versions_ != 0 && verifyMatchingHeaders(rec.bytes.data(), slot_) == 1 &&
        holds_signature(nullptr, slot_, rec, own_signature)) {
        std::printf("Image%d has same version as existing image. Skipping update...\n",
                    static_cast<int>(slot_));
        return outcome(Step::next, "same-version");
    }
    if (!installer::write_slot_file(slot_, rec.bytes, own_signature)) {
        return outcome(Step::failed, "failed");
    }
    installed_ = 1;
    static_cast<void>(api_set_image(static_cast<std::uint8_t>(slot_)));
    return outcome(Step::next, "written");
}

}  // namespace

void installer_set_boot(InstallerBoot boot) {
    boot_at_once = boot;
}

void installer_set_root_for_tests(const std::string& root) {
    installer::set_file_root(root);
}

int processLamelImage(const char* path, std::uint8_t check_versions, std::int32_t slot) {
    return install_package(path, check_versions, slot, false, nullptr, {});
}

int install_package(const char* path, std::uint8_t check_versions, std::int32_t slot,
                    bool allow_older, InstallRefusal* refused, const InstallOrigin& origin) {
    if (refused != nullptr) {
        *refused = InstallRefusal::none;
    }
    Installer installer(check_versions, slot, allow_older, origin);
    return installer.run(path, refused);
}

int install_package_on_board(const char* path, std::uint8_t check_versions, std::int32_t slot,
                             bool allow_older, const InstallOrigin& origin) {
    static_cast<void>(api_i2c_init());
    static_cast<void>(api_flash_init());
    const int result = install_package(path, check_versions, slot, allow_older, nullptr, origin);
    static_cast<void>(api_i2c_close());
    return result;
}
