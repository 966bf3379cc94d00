// The package installer over arbitrary bytes on an emulated board whose files sit on a tmpfs of
// a private mount namespace. Byte 0 chooses the slot (bit 0) and the version check (bit 1); the
// rest is the package. Afterwards the board must hold exactly what a plain model of the
// installation predicts from the bytes alone.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
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
constexpr std::size_t kPartitionSize = 16384;  // every sound record of a package fits
const struct {
    const char* file;
    std::uint32_t type, limit;  // on len for the boot loader, on the record for the others
} kParts[] = {{"uboot", IMAGE_BOOT, 0x80000},
              {"kernel", IMAGE_KERNEL, 0x300000},
              {"rfs", IMAGE_RFS, 0xF00000},
              {"devicetree", IMAGE_DFT, 0x40000},
              {"rescue", IMAGE_DIAGS, 0xA00000}};
std::string board;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "installer_fuzz: %s\n", what);
        std::abort();
    }
}
void put(const std::string& path, const Bytes& b) {
    std::fstream(path, std::ios::binary | std::ios::in | std::ios::out)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
std::optional<Bytes> get(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::optional<Bytes>(Bytes(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}

struct Model {
    Bytes parts[std::size(kParts)];
    std::optional<Bytes> slot_file;
    int result = 0;
};

Model predict(std::span<const std::uint8_t> pkg, bool check_versions) {
    Model m;
    for (Bytes& p : m.parts) {
        p.assign(kPartitionSize, 0xFF);
    }
    int installed = 0;
    for (std::uint64_t at = 0; at <= pkg.size() && pkg.size() - at >= RECORD_PROBE_SIZE;) {
        const RecordHeader h = parse_probe(pkg.subspan(at).first<RECORD_PROBE_SIZE>());
        const bool sound = classify_record(h) == RecordFault::none;
        const auto part = std::find_if(std::begin(kParts), std::end(kParts),
                                       [&](const auto& p) { return p.type == h.type(); });
        if (part == std::end(kParts) && h.type() != IMAGE_APPLICATION) {
            if (!sound) {
                break;
            }
            at += h.record_length();
            continue;
        }
        if (!sound || pkg.size() - at < h.record_length()) {
            return m;
        }
        const auto rec = pkg.subspan(at, h.record_length());
        if (gen_crc(rec.data() + 4, static_cast<std::uint32_t>(rec.size() - 4), CRC_START) !=
            h.crc) {
            return m;
        }
        const bool boot = h.type() == IMAGE_BOOT;
        Bytes* stored = part == std::end(kParts) ? nullptr : &m.parts[part - std::begin(kParts)];
        if (stored != nullptr && (boot ? h.len : h.record_length()) > part->limit) {
            return m;
        }
        const Bytes* old = stored != nullptr ? stored : m.slot_file ? &*m.slot_file : nullptr;
        const std::size_t from = boot ? 4 : 0, where = boot ? BOOT_HEADER_COPY_OFFSET : 0;
        if (!(check_versions && old != nullptr &&
              std::equal(rec.begin() + from, rec.begin() + 16, old->begin() + where + from))) {
            if (stored == nullptr) {
                m.slot_file = Bytes(rec.begin(), rec.end());
            } else {
                const auto data = boot ? h.payload(rec) : rec;
                std::copy(data.begin(), data.end(), stored->begin());
            }
            installed = 1;
        }
        at += h.record_length();
    }
    m.result = installed;
    return m;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    board = (fs::current_path() / "installer-board").string();
    fs::create_directories(board);
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(uid == 0 ? CLONE_NEWNS : CLONE_NEWNS | CLONE_NEWUSER) == 0) {
        if (uid != 0) {
            std::ofstream("/proc/self/setgroups") << "deny";
            std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
            std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
        }
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", board.c_str(), "tmpfs", 0, "size=64m") != 0) {
            std::fprintf(stderr, "installer_fuzz: no private tmpfs, working on disk (slow)\n");
        }
    }
    for (const char* d : {"dev/lamel", "etc", "var/log", "user/images", "tmp"}) {
        fs::create_directories(board + "/" + d);
    }
    for (const char* p : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
        std::ofstream(board + "/dev/mtd-" + p) << std::string(kPartitionSize, '\xFF');
    }
    std::ofstream(board + "/dev/i2c-0");
    std::ofstream(board + "/dev/i2c-1");
    std::ofstream(board + "/dev/lamel/cpld_mmmap") << std::string(32, '\0');
    std::ofstream(board + "/var/vpd.bin") << std::string(256, '\xFF');
    std::ofstream(board + "/etc/board.conf") << "clock.scale = 0\nmtd.erase_size = 4096\n";
    platform::sandbox::set_root(board);
    platform::sandbox::reload();
    // With a slot given the installer never boots anything and runs no command.
    platform::sandbox::set_recorder([](std::string_view, std::string_view) -> int {
        check(false, "the installer ran a command");
        return 0;
    });
    installer_set_root_for_tests(board);
    check(api_i2c_init() == 0 && api_flash_init() == 0, "the emulated board did not come up");
    check(std::freopen("/dev/null", "w", stdout) != nullptr, "cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 12289) {
        return 0;
    }
    const bool check_versions = (data[0] & 2) != 0;
    const int slot = (data[0] & 1) + 1;
    const std::span<const std::uint8_t> package(data + 1, size - 1);
    for (const auto& p : kParts) {  // in place: the emulator keeps the files open
        put(board + "/dev/mtd-" + p.file, Bytes(kPartitionSize, 0xFF));
    }
    put(board + "/var/vpd.bin", Bytes(256, 0xFF));
    const std::string images = board + "/user/images/image";
    fs::remove(images + "1");
    fs::remove(images + "2");
    std::error_code ignored;
    fs::resize_file(board + "/var/log/board.log", 0, ignored);
    std::ofstream(board + "/tmp/image", std::ios::binary)
        .write(reinterpret_cast<const char*>(package.data()),
               static_cast<std::streamsize>(package.size()));

    const int result = processLamelImage((board + "/tmp/image").c_str(), check_versions, slot);
    const Model m = predict(package, check_versions);
    check(result == m.result, "wrong result");
    for (std::size_t i = 0; i < std::size(kParts); ++i) {
        check(get(board + "/dev/mtd-" + kParts[i].file) == m.parts[i], "wrong partition bytes");
    }
    check(get(images + std::to_string(slot)) == m.slot_file &&
              !fs::exists(images + std::to_string(3 - slot)) && !fs::exists(images + "1.new") &&
              !fs::exists(images + "2.new"),
          "wrong slot files");
    check(get(board + "/var/vpd.bin")->at(1) == (m.slot_file ? slot : 0xFF), "wrong slot byte");
    return 0;
}
