// The device calls of the seam: a descriptor handed out by dev_open is the real descriptor of
// the opened backing file, and this table says which emulated device stands behind it. reload()
// drops it with the rest of the emulators' per-process state.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <string_view>
#include <utility>

#include "platform/platform.hpp"
#include "platform/sandbox/emulators.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform {

namespace {

using sandbox::detail::OpenDevice;
using Kind = OpenDevice::Kind;

std::map<int, OpenDevice> g_open;

// The device behind a descriptor of dev_open; EBADF for any other descriptor, EINVAL for a call
// that none of `kinds` takes.
OpenDevice* find(int fd, std::initializer_list<Kind> kinds) {
    const auto it = g_open.find(fd);
    if (it == g_open.end()) {
        errno = EBADF;
        return nullptr;
    }
    for (const Kind k : kinds) {
        if (it->second.kind == k) {
            return &it->second;
        }
    }
    errno = EINVAL;
    return nullptr;
}

// The error a real descriptor gives for a call its driver does not have.
OpenDevice* find_for_ioctl(int fd, Kind kind) {
    OpenDevice* dev = find(fd, {kind});
    if (dev == nullptr && errno == EINVAL) {
        errno = ENOTTY;
    }
    return dev;
}

// Without a board root the paths would be the host's own devices: refuse, and say so once.
bool board_present() {
    if (sandbox::detail::board_usable()) {
        return true;
    }
    static bool told = false;
    if (!told) {
        told = true;
        std::fputs("sandbox: no board: devices are absent outside a sandbox board\n", stderr);
    }
    errno = ENOENT;
    return false;
}

bool parse_device(std::string_view path, OpenDevice& dev) {
    for (const base::Partition& p : base::kPartitions) {
        if (path == p.device) {
            dev.kind = Kind::mtd;
            dev.partition = p.id;
            return true;
        }
    }
    if (path == "/dev/i2c-0" || path == "/dev/i2c-1") {
        dev.kind = Kind::i2c;
        dev.adapter = path.back() - '0';
        return true;
    }
    if (path == "/dev/lamel/cpld_mmmap") {
        dev.kind = Kind::cpld;
        return true;
    }
    return false;
}

// Access the descriptor was opened without fails EBADF, as the kernel's.
bool allowed(const OpenDevice* dev, bool write) {
    if (dev != nullptr && !(write ? dev->writable : dev->readable)) {
        errno = EBADF;
        return false;
    }
    return dev != nullptr;
}

}  // namespace

namespace sandbox {

// Here rather than beside the configuration: reload() drops what every emulator keeps per
// process, and this file is the one that holds them all.
void reload() {
    g_open.clear();
    detail::reset_i2c();
    detail::reset_cpld();
    detail::reload_config();
}

}  // namespace sandbox

int dev_open(const char* path, int flags) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    OpenDevice dev;
    if (!parse_device(path, dev)) {
        errno = ENOENT;
        return -1;
    }
    if (!board_present()) {
        return -1;
    }
    const int access = flags & O_ACCMODE;
    dev.readable = access != O_WRONLY;
    dev.writable = access != O_RDONLY;
    switch (dev.kind) {
        case Kind::mtd:
            dev.fd.reset(sandbox::detail::mtd_open(dev.partition, flags));
            break;
        case Kind::i2c:
            dev.fd.reset(sandbox::detail::i2c_open_adapter(dev.adapter, flags));
            break;
        case Kind::cpld:
            dev.fd.reset(sandbox::detail::cpld_open(flags));
            break;
    }
    if (!dev.fd) {
        return -1;
    }
    const int fd = dev.fd.get();
    g_open.insert_or_assign(fd, std::move(dev));
    return fd;
}

int dev_close(int fd) {
    auto entry = g_open.extract(fd);
    if (entry.empty()) {
        errno = EBADF;
        return -1;
    }
    return entry.mapped().fd.close();
}

// The launcher reads and writes the I2C adapters and the CPLD's registers (at the position
// lseek set; the CPLD driver does not move it), and the flash partitions with pread and pwrite
// only: each device takes those calls alone, anything else fails EINVAL.
ssize_t dev_read(int fd, void* buf, std::size_t count) {
    OpenDevice* dev = find(fd, {Kind::i2c, Kind::cpld});
    if (dev != nullptr && dev->kind == Kind::i2c) {
        return sandbox::detail::i2c_plain_read(*dev, buf, count);
    }
    return allowed(dev, false) ? sandbox::detail::cpld_read(*dev, buf, count, dev->position) : -1;
}

ssize_t dev_write(int fd, const void* buf, std::size_t count) {
    OpenDevice* dev = find(fd, {Kind::i2c, Kind::cpld});
    if (dev != nullptr && dev->kind == Kind::i2c) {
        return sandbox::detail::i2c_plain_write(*dev, buf, count);
    }
    return allowed(dev, true) ? sandbox::detail::cpld_write(*dev, buf, count, dev->position) : -1;
}

ssize_t dev_pread(int fd, void* buf, std::size_t count, off_t offset) {
    const OpenDevice* dev = find(fd, {Kind::mtd});
    return allowed(dev, false) ? sandbox::detail::mtd_pread(*dev, buf, count, offset) : -1;
}

ssize_t dev_pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
    const OpenDevice* dev = find(fd, {Kind::mtd});
    return allowed(dev, true) ? sandbox::detail::mtd_pwrite(*dev, buf, count, offset) : -1;
}

off_t dev_lseek(int fd, off_t offset, int whence) {
    OpenDevice* dev = find(fd, {Kind::cpld});
    if (dev == nullptr) {
        return -1;
    }
    if (whence != SEEK_SET || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    dev->position = offset;
    return offset;
}

int mtd_meminfo(int fd, MtdInfo* info) {
    const OpenDevice* dev = find_for_ioctl(fd, Kind::mtd);
    if (dev == nullptr) {
        return -1;
    }
    if (info == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return sandbox::detail::mtd_getinfo(*dev, info);
}

int mtd_memerase(int fd, std::uint32_t start, std::uint32_t length) {
    const OpenDevice* dev = find_for_ioctl(fd, Kind::mtd);
    if (dev == nullptr) {
        return -1;
    }
    // The driver refuses an erase on a descriptor opened without write access.
    if (!dev->writable) {
        errno = EPERM;
        return -1;
    }
    return sandbox::detail::mtd_erase_range(*dev, start, length);
}

int i2c_select(int fd, int address) {
    OpenDevice* dev = find_for_ioctl(fd, Kind::i2c);
    if (dev == nullptr) {
        return -1;
    }
    return sandbox::detail::i2c_set_address(*dev, address);
}

std::int32_t smbus_read_byte_data(int fd, std::uint8_t command) {
    OpenDevice* dev = find_for_ioctl(fd, Kind::i2c);
    if (dev == nullptr) {
        return -errno;
    }
    return sandbox::detail::i2c_smbus_read(*dev, command);
}

std::int32_t smbus_write_byte_data(int fd, std::uint8_t command, std::uint8_t value) {
    OpenDevice* dev = find_for_ioctl(fd, Kind::i2c);
    if (dev == nullptr) {
        return -errno;
    }
    return sandbox::detail::i2c_smbus_write(*dev, command, value);
}

}  // namespace platform
