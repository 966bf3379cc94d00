// The installer on arbitrary bytes (byte 0: slot, version check) on a board in memory, with its
// files on a tmpfs set up once: each flash home ends erased or holding a sound record of its
// type, each slot file one whole sound application record, and the VPD names no empty slot.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "base/partitions.hpp"
#include "flash/flash.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "installer/installer.hpp"
#include "installer/installer_testing.hpp"
#include "platform/platform.hpp"

namespace {
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
const Bytes kErased(16384, 0xFF);  // a partition; every sound record of an input fits
// The record type installed in each partition of base::kPartitions (0: none).
constexpr std::uint32_t kHomes[] = {0, 0, IMAGE_DFT, IMAGE_KERNEL, IMAGE_RFS, IMAGE_DIAGS};
std::array<Bytes, std::size(kHomes)> flash;  // descriptor 100 + index
std::array<std::uint8_t, 256> vpd;
int i2c_address = -1;
const std::string board = (fs::current_path() / "installer-board").string() + "/";

Bytes* partition(int fd) {
    return fd >= 100 && fd < 100 + static_cast<int>(flash.size()) ? &flash[fd - 100] : nullptr;
}
int fail(int error) {
    errno = error;
    return -1;
}
// A sound record of `type` at the start of `b`, and with `whole` nothing after it.
bool holds_record(std::span<const std::uint8_t> b, std::uint32_t type, bool whole) {
    const RecordHeader h = parse_probe(b.first<RECORD_PROBE_SIZE>());
    return h.type() == type && h.record_length() <= b.size() &&
           (!whole || h.record_length() == b.size()) && record_intact(b.first(h.record_length()));
}
}  // namespace

// The platform calls of the flash and I2C layers, in place of the sandbox board's: an erase sets
// whole 4 KiB blocks to 0xFF, programming only clears bits, nothing reaches past a partition's
// end; the VPD EEPROM answers at its address; the multiplexer, the CPLD's gate and the set-up
// device take every write, and the gate reports its switch done at once.
namespace platform {
int dev_open(const char* path, int) {
    const auto p =
        std::find_if(base::kPartitions.begin(), base::kPartitions.end(),
                     [path](const base::Partition& part) { return part.device == fs::path(path); });
    return 100 + static_cast<int>(p - base::kPartitions.begin());  // 106: I2C adapters, CPLD
}
int dev_close(int) {
    return 0;
}
ssize_t dev_read(int, void* buf, std::size_t count) {
    std::fill_n(static_cast<std::uint8_t*>(buf), count, 1);
    return static_cast<ssize_t>(count);
}
ssize_t dev_write(int, const void*, std::size_t count) {
    return static_cast<ssize_t>(count);
}
off_t dev_lseek(int, off_t offset, int) {
    return offset;
}
ssize_t dev_pread(int fd, void* buf, std::size_t count, off_t offset) {
    const Bytes* p = partition(fd);
    if (p == nullptr || offset < 0) {
        return fail(EINVAL);
    }
    const std::size_t at = std::min<std::size_t>(offset, p->size());
    const std::size_t n = std::min(count, p->size() - at);
    std::copy_n(p->begin() + static_cast<std::ptrdiff_t>(at), n, static_cast<std::uint8_t*>(buf));
    return static_cast<ssize_t>(n);
}
ssize_t dev_pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
    Bytes* p = partition(fd);
    if (p == nullptr || offset < 0 || static_cast<std::uint64_t>(offset) + count > p->size()) {
        return fail(ENOSPC);
    }
    const auto* data = static_cast<const std::uint8_t*>(buf);
    std::transform(data, data + count, p->begin() + offset, p->begin() + offset,
                   [](std::uint8_t d, std::uint8_t old) { return std::uint8_t(d & old); });
    return static_cast<ssize_t>(count);
}
int mtd_meminfo(int fd, MtdInfo* info) {
    *info = {static_cast<std::uint32_t>(kErased.size()), 4096};
    return partition(fd) != nullptr ? 0 : fail(ENOTTY);
}
int mtd_memerase(int fd, std::uint32_t start, std::uint32_t length) {
    Bytes* p = partition(fd);
    if (p == nullptr || (start | length) % 4096 != 0 || std::uint64_t{start} + length > p->size()) {
        return fail(EINVAL);
    }
    std::fill_n(p->begin() + start, length, 0xFF);
    return 0;
}
int i2c_select(int, int address) {
    i2c_address = address;
    return 0;
}
std::int32_t smbus_read_byte_data(int, std::uint8_t command) {
    return i2c_address == VPD_EEPROM_ADDR ? vpd[command] : fail(EIO);
}
std::int32_t smbus_write_byte_data(int, std::uint8_t command, std::uint8_t value) {
    vpd[command] = i2c_address == VPD_EEPROM_ADDR ? value : vpd[command];
    return 0;
}
int clock_usleep(useconds_t) {
    return 0;
}
}  // namespace platform

// ASan's quarantine of freed blocks at 16 MiB, not 256: an input frees about 100 KiB, so a block
// is still held for a hundred inputs, and the process no longer cycles through 256 MiB of fresh
// pages (half its time went to page faults).
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The installer syncs every slot file: on disk an input would take milliseconds.
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
    fs::create_directories(board + "tmp");
    fs::create_directories(board + "user/images");
    installer_set_root_for_tests(board);
    // The installer's messages go nowhere; libFuzzer keeps its own copy of stderr.
    stdout = ::fopencookie(
        nullptr, "w",
        {nullptr, [](void*, const char*, std::size_t n) { return static_cast<ssize_t>(n); },
         nullptr, nullptr});
    return stdout == nullptr || api_i2c_init() != 0 || api_flash_init() != 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > 12289) {
        return 0;
    }
    flash.fill(kErased);
    vpd.fill(0xFF);
    std::ofstream(board + "tmp/image", std::ios::binary)
        .write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    processLamelImage((board + "tmp/image").c_str(), data[0] & 2, (data[0] & 1) + 1);
    for (std::size_t i = 0; i < flash.size(); ++i) {
        if (flash[i] != kErased && kHomes[i] != 0 && !holds_record(flash[i], kHomes[i], false)) {
            std::abort();
        }
    }
    bool present[3] = {};
    for (const int slot : {1, 2}) {
        const std::string path = board + "user/images/image" + std::to_string(slot);
        std::ifstream in(path, std::ios::binary);
        const Bytes b(std::istreambuf_iterator<char>(in), {});
        if ((present[slot] = in.is_open()) &&
            (b.size() < RECORD_PROBE_SIZE || !holds_record(b, IMAGE_APPLICATION, true))) {
            std::abort();
        }
        if (present[slot]) {
            ::unlink(path.c_str());  // the next input finds no slot file
        }
    }
    const std::uint8_t named = vpd[VPD_IMAGE_OFFSET];
    if (named != 0xFF && (named < 1 || named > 2 || !present[named])) {
        std::abort();
    }
    return 0;
}
