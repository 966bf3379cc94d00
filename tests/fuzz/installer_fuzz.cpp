// The installer on arbitrary bytes (byte 0: slot, version check): partitions erased or sound.
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "installer/installer.hpp"
#include "installer/installer_testing.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
const Bytes kErased(16384, 0xFF);  // every sound record of an input fits
const std::string board = (fs::current_path() / "installer-board").string() + "/";
const std::pair<const char*, std::uint32_t> kHomes[] = {{"kernel", IMAGE_KERNEL},
                                                        {"rfs", IMAGE_RFS},
                                                        {"devicetree", IMAGE_DFT},
                                                        {"rescue", IMAGE_DIAGS}};

// Truncates in place: the emulator keeps the partition files open.
void put(const std::string& rel, const Bytes& b) {
    std::ofstream(board + rel, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}
void reset() {
    for (const char* p : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
        put("dev/mtd-" + std::string(p), kErased);
    }
    put("var/vpd.bin", Bytes(256, 0xFF));
    put("var/log/board.log", {});
    fs::remove_all(board + "user/images");
    fs::create_directories(board + "user/images");
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
    for (const char* d : {"dev/lamel", "etc", "var/log", "tmp"}) {
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
    reset();
    put("tmp/image", Bytes(data + 1, data + size));
    processLamelImage((board + "tmp/image").c_str(), data[0] & 2, (data[0] & 1) + 1);
    for (const auto& [name, type] : kHomes) {
        std::ifstream in(board + "dev/mtd-" + name, std::ios::binary);
        const Bytes b(std::istreambuf_iterator<char>(in), {});
        const RecordHeader h = parse_probe(std::span(b).first<RECORD_PROBE_SIZE>());
        if (b != kErased && (h.type() != type || h.record_length() > b.size() ||
                             !record_intact(std::span(b).first(h.record_length())))) {
            std::abort();
        }
    }
    return 0;
}
