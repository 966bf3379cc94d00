// The package installer over arbitrary bytes on an emulated board kept on a private tmpfs. Byte
// 0 picks the slot (bit 0) and the version check (bit 1); the rest is the package. Afterwards
// the board holds exactly what a plain model of the installation predicts from the bytes alone.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "crc/crc.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/installer.hpp"
#include "image/installer_testing.hpp"
#include "image/record.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kPart = 16384;  // every sound record of an input fits
const struct {
    const char* file;
    std::uint32_t type, limit;  // on len for the boot loader, on the whole record for the others
} kParts[] = {{"dev/mtd-uboot", IMAGE_BOOT, 0x80000},
              {"dev/mtd-kernel", IMAGE_KERNEL, 0x300000},
              {"dev/mtd-rfs", IMAGE_RFS, 0xF00000},
              {"dev/mtd-devicetree", IMAGE_DFT, 0x40000},
              {"dev/mtd-rescue", IMAGE_DIAGS, 0xA00000}};
const std::string board = (fs::current_path() / "installer-board").string() + "/";
const std::string images = board + "user/images/image";

// Truncates in place: the emulator keeps the partition files open.
void put(const std::string& rel, const Bytes& b) {
    std::ofstream(board + rel, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
std::optional<Bytes> get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::optional<Bytes>(Bytes(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}
void reset() {
    for (const char* p : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
        put("dev/mtd-" + std::string(p), Bytes(kPart, 0xFF));
    }
    put("var/vpd.bin", Bytes(256, 0xFF));
    put("var/log/board.log", {});
    fs::remove(images + "1");
    fs::remove(images + "2");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The installer syncs every slot file: on disk a run would take milliseconds.
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    fs::create_directories(board);
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWNS | CLONE_NEWUSER) == 0) {
        if (uid != 0) {
            std::ofstream("/proc/self/setgroups") << "deny";
            std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
            std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        }
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
        ::mount("tmpfs", board.c_str(), "tmpfs", 0, "size=64m");
    }
    for (const char* d : {"dev/lamel", "etc", "var/log", "user/images", "tmp"}) {
        fs::create_directories(board + d);
    }
    reset();
    put("dev/i2c-0", {});
    put("dev/i2c-1", {});
    put("dev/lamel/cpld_mmmap", Bytes(32, 0));
    std::ofstream(board + "etc/board.conf") << "clock.scale = 0\nmtd.erase_size = 4096\n";
    platform::sandbox::set_root(board);
    platform::sandbox::reload();
    // With a slot given the installer never boots anything and runs no command.
    platform::sandbox::set_recorder(
        [](std::string_view, std::string_view) -> int { std::abort(); });
    installer_set_root_for_tests(board);
    if (api_i2c_init() != 0 || api_flash_init() != 0 || !std::freopen("/dev/null", "w", stdout)) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 12289) {
        return 0;
    }
    const bool check_versions = (data[0] & 2) != 0;
    const int slot = (data[0] & 1) + 1;
    const std::span<const std::uint8_t> pkg(data + 1, size - 1);
    reset();
    put("tmp/image", Bytes(pkg.begin(), pkg.end()));
    const int result = processLamelImage((board + "tmp/image").c_str(), check_versions, slot);

    // The model: the records in order up to the first broken one; unknown types are stepped
    // over, the others go home unless the check finds the same header there.
    Bytes parts[std::size(kParts)];
    std::fill(std::begin(parts), std::end(parts), Bytes(kPart, 0xFF));
    std::optional<Bytes> slot_file;
    int installed = 0;
    walk_records(pkg, [&](const ProbedRecord& r) {
        const RecordHeader& h = r.header;
        const auto part = std::find_if(std::begin(kParts), std::end(kParts),
                                       [&](const auto& p) { return p.type == h.type(); });
        Bytes* home = part == std::end(kParts) ? nullptr : &parts[part - std::begin(kParts)];
        if (home == nullptr && h.type() != IMAGE_APPLICATION) {
            return true;
        }
        const bool boot = h.type() == IMAGE_BOOT;
        const auto rec = pkg.subspan(r.offset).first(
            std::min<std::size_t>(h.record_length(), pkg.size() - r.offset));
        if (r.fault != RecordFault::none || rec.size() < h.record_length() ||
            gen_crc(rec.data() + 4, static_cast<std::uint32_t>(rec.size() - 4), CRC_START) !=
                h.crc ||
            (home != nullptr && (boot ? h.len : h.record_length()) > part->limit)) {
            installed = -1;
            return false;
        }
        const Bytes* old = home != nullptr ? home : slot_file ? &*slot_file : nullptr;
        const std::size_t from = boot ? 4 : 0, where = boot ? BOOT_HEADER_COPY_OFFSET : 0;
        if (!check_versions || old == nullptr ||
            !std::equal(rec.begin() + from, rec.begin() + 16, old->begin() + where + from)) {
            const auto bytes = boot ? h.payload(rec) : rec;
            if (home != nullptr) {
                std::copy(bytes.begin(), bytes.end(), home->begin());
            } else {
                slot_file = Bytes(rec.begin(), rec.end());
            }
            installed = 1;
        }
        return true;
    });
    bool ok = result == (installed == 1) && get(images + std::to_string(slot)) == slot_file &&
              !fs::exists(images + std::to_string(3 - slot)) && !fs::exists(images + "1.new") &&
              !fs::exists(images + "2.new") &&
              get(board + "var/vpd.bin")->at(1) == (slot_file ? slot : 0xFF);
    for (std::size_t i = 0; i < std::size(kParts); ++i) {
        ok = ok && get(board + kParts[i].file) == parts[i];
    }
    if (!ok) {
        std::abort();
    }
    return 0;
}
