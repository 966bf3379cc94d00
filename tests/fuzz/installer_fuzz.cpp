// The package installer over arbitrary package bytes, on an emulated board: flash partitions,
// image slot files and the VPD EEPROM are files of a board directory on a private tmpfs (slot
// files are fsync'd, which a disk makes slow), commands are recorded and none is expected.
//
// Input: byte 0 chooses the slot (bit 0: slot 1 or 2) and the version check (bit 1); the rest is
// the package. After each run the board must hold exactly what a straightforward model of the
// installation predicts from the package bytes alone, so a record written from memory the
// package never filled, a record written where it does not belong, or a wrong result shows up.
// Every allocation made during the run must stay below the package's size plus a fixed bound.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "crc/crc.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/byte_order.hpp"
#include "image/installer.hpp"
#include "image/installer_testing.hpp"
#include "image/record.hpp"
#include "platform/sandbox/sandbox.hpp"

extern "C" int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*,
                                                                             std::size_t),
                                                         void (*free_hook)(const volatile void*));

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kPartitionSize = 16384;
constexpr std::size_t kMaxPackage = 12288;  // every sound record fits in every partition
// Beyond the record buffer: the flash layer's sector buffer, stdio buffers, path strings.
constexpr std::size_t kAllocationSlack = 65536;

struct Partition {
    const char* file;
    std::uint32_t type;
    std::uint32_t limit;  // on len for the boot loader, on the record length for the others
};
constexpr Partition kPartitions[] = {
    {"uboot", IMAGE_BOOT, 0x80000},    {"kernel", IMAGE_KERNEL, 0x300000},
    {"rfs", IMAGE_RFS, 0xF00000},      {"devicetree", IMAGE_DFT, 0x40000},
    {"rescue", IMAGE_DIAGS, 0xA00000},
};

std::string board;
bool measuring = false;
std::size_t largest_allocation = 0;

void on_malloc(const volatile void*, std::size_t size) {
    if (measuring) {
        largest_allocation = std::max(largest_allocation, size);
    }
}
void on_free(const volatile void*) {}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "installer_fuzz: %s\n", what);
    std::abort();
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

// Plain system calls: this runs several times per input and is compiled with coverage hooks.
std::optional<Bytes> read_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    Bytes bytes;
    if (::fstat(fd, &st) == 0) {
        bytes.resize(static_cast<std::size_t>(st.st_size));
        if (::pread(fd, bytes.data(), bytes.size(), 0) != st.st_size) {
            fail("short read of a board file");
        }
    }
    ::close(fd);
    return bytes;
}

// Overwrites in place: the flash emulator keeps the backing file open across runs.
void reset_file(const std::string& path, std::uint8_t fill, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY);
    const Bytes bytes(size, fill);
    if (fd < 0 || ::pwrite(fd, bytes.data(), size, 0) != static_cast<ssize_t>(size)) {
        fail("cannot reset a board file");
    }
    ::close(fd);
}

// The board directory on a tmpfs of a private mount namespace: nothing of it outlives the
// process or is seen by anyone else.
void make_board() {
    board = (fs::current_path() / "installer-board").string();
    fs::create_directories(board);
    const bool root = ::geteuid() == 0;
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(root ? CLONE_NEWNS : CLONE_NEWNS | CLONE_NEWUSER) == 0) {
        if (!root) {
            write_file("/proc/self/setgroups", Bytes{'d', 'e', 'n', 'y'});
            const std::string u = "0 " + std::to_string(uid) + " 1";
            const std::string g = "0 " + std::to_string(gid) + " 1";
            write_file("/proc/self/uid_map", Bytes(u.begin(), u.end()));
            write_file("/proc/self/gid_map", Bytes(g.begin(), g.end()));
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
        write_file(board + "/dev/mtd-" + p, Bytes(kPartitionSize, 0xFF));
    }
    write_file(board + "/dev/i2c-0", {});
    write_file(board + "/dev/i2c-1", {});
    write_file(board + "/dev/lamel/cpld_mmmap", Bytes(32, 0));
    write_file(board + "/var/vpd.bin", Bytes(256, 0xFF));
    const std::string conf = "clock.scale = 0\nmtd.erase_size = 4096\n";
    write_file(board + "/etc/board.conf", Bytes(conf.begin(), conf.end()));
}

// What the board must hold after installing `package`, worked out from its bytes alone.
struct Model {
    Bytes parts[std::size(kPartitions)];
    std::optional<Bytes> slot_file;
    std::uint8_t vpd_slot = 0xFF;
    int result = 0;
};

Model predict(std::span<const std::uint8_t> package, bool check, int slot) {
    Model m;
    for (Bytes& p : m.parts) {
        p.assign(kPartitionSize, 0xFF);
    }
    int installed = 0;
    std::uint64_t at = 0;
    for (;;) {
        if (at > package.size() || package.size() - at < RECORD_PROBE_SIZE) {
            m.result = installed;
            return m;
        }
        const RecordHeader h = parse_probe(package.subspan(at).first<RECORD_PROBE_SIZE>());
        const bool sound = classify_record(h) == RecordFault::none;
        const auto part = std::find_if(std::begin(kPartitions), std::end(kPartitions),
                                       [&](const Partition& p) { return p.type == h.type(); });
        const bool known = part != std::end(kPartitions) || h.type() == IMAGE_APPLICATION;
        if (!known) {
            if (!sound) {
                m.result = installed;
                return m;
            }
            at += h.record_length();
            continue;
        }
        if (!sound || package.size() - at < h.record_length()) {
            return m;
        }
        const auto rec = package.subspan(at, h.record_length());
        if (gen_crc(rec.data() + 4, static_cast<std::uint32_t>(rec.size() - 4), CRC_START) !=
            h.crc) {
            return m;
        }
        if (part != std::end(kPartitions)) {
            Bytes& stored = m.parts[part - std::begin(kPartitions)];
            const bool boot = h.type() == IMAGE_BOOT;
            if ((boot ? h.len : h.record_length()) > part->limit) {
                return m;
            }
            const std::size_t from = boot ? 4 : 0;
            const std::size_t where = boot ? BOOT_HEADER_COPY_OFFSET : 0;
            if (!(check && std::equal(rec.begin() + from, rec.begin() + 16,
                                      stored.begin() + where + from))) {
                const auto data = boot ? h.payload(rec) : rec;
                std::copy(data.begin(), data.end(), stored.begin());
                installed = 1;
            }
        } else if (!(check && m.slot_file &&
                     std::equal(rec.begin(), rec.begin() + 16, m.slot_file->begin()))) {
            m.slot_file = Bytes(rec.begin(), rec.end());
            m.vpd_slot = static_cast<std::uint8_t>(slot);
            installed = 1;
        }
        at += h.record_length();
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    make_board();
    platform::sandbox::set_root(board);
    platform::sandbox::reload();
    // With a slot given the installer never boots anything and runs no command.
    platform::sandbox::set_recorder(
        [](std::string_view, std::string_view) -> int { fail("the installer ran a command"); });
    installer_set_root_for_tests(board);
    if (api_i2c_init() != 0 || api_flash_init() != 0) {
        fail("the emulated board did not come up");
    }
    __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
    // The installer's console texts are of no interest here and would slow every run.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        fail("cannot silence standard output");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > kMaxPackage + 1) {
        return 0;
    }
    const bool check = (data[0] & 2) != 0;
    const int slot = (data[0] & 1) + 1;
    const std::span<const std::uint8_t> package(data + 1, size - 1);

    for (const Partition& p : kPartitions) {
        reset_file(board + "/dev/mtd-" + p.file, 0xFF, kPartitionSize);
    }
    reset_file(board + "/var/vpd.bin", 0xFF, 256);
    fs::remove(board + "/user/images/image1");
    fs::remove(board + "/user/images/image2");
    std::error_code ignored;
    fs::resize_file(board + "/var/log/board.log", 0, ignored);
    const std::string path = board + "/tmp/image";
    write_file(path, Bytes(package.begin(), package.end()));

    largest_allocation = 0;
    measuring = true;
    const int result = processLamelImage(path.c_str(), check ? 1 : 0, slot);
    measuring = false;
    std::fflush(stdout);

    if (largest_allocation > package.size() + kAllocationSlack) {
        fail("an allocation beyond the package's size");
    }
    const Model m = predict(package, check, slot);
    if (result != m.result) {
        fail("wrong result");
    }
    for (std::size_t i = 0; i < std::size(kPartitions); ++i) {
        if (read_file(board + "/dev/mtd-" + kPartitions[i].file) != m.parts[i]) {
            fail("a partition holds other bytes than the package's");
        }
    }
    const std::string images = board + "/user/images/image";
    if (read_file(images + std::to_string(slot)) != m.slot_file ||
        fs::exists(images + std::to_string(3 - slot)) || fs::exists(images + "1.new") ||
        fs::exists(images + "2.new")) {
        fail("the slot files are not what the package holds");
    }
    if (read_file(board + "/var/vpd.bin").value().at(1) != m.vpd_slot) {
        fail("wrong slot byte");
    }
    return 0;
}
