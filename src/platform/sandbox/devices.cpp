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

#include "platform/platform.hpp"
#include "platform/sandbox/emulators.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform {

namespace {

using sandbox::detail::OpenDevice;
using Kind = OpenDevice::Kind;

std::map<int, OpenDevice> g_open;

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
    return nullptr;
}

// The error a real descriptor gives for a call its driver does not have.
OpenDevice* find_for_ioctl(int fd, Kind kind) {
    OpenDevice* dev = find(fd, {kind});
    if (dev == nullptr && g_open.count(fd) != 0) {
        errno = ENOTTY;
    }
    return dev;
}

OpenDevice* find_any(int fd) {
    return find(fd, {Kind::mtd, Kind::i2c, Kind::cpld});
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
    constexpr std::string_view kMtd = "/dev/mtd-";
    if (path.substr(0, kMtd.size()) == kMtd) {
        const auto part = sandbox::detail::partition_by_name(path.substr(kMtd.size()));
        if (!part) {
            return false;
        }
        dev.kind = Kind::mtd;
        dev.partition = *part;
        return true;
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

ssize_t read_at(OpenDevice& dev, void* buf, std::size_t count, off_t offset) {
    if (!dev.readable) {
        errno = EBADF;
        return -1;
    }
    if (dev.kind == Kind::cpld) {
        return sandbox::detail::cpld_read(dev, buf, count, offset);
    }
    return sandbox::detail::mtd_pread(dev, buf, count, offset);
}

ssize_t write_at(OpenDevice& dev, const void* buf, std::size_t count, off_t offset) {
    if (!dev.writable) {
        errno = EBADF;
        return -1;
    }
    if (dev.kind == Kind::cpld) {
        return sandbox::detail::cpld_write(dev, buf, count, offset);
    }
    return sandbox::detail::mtd_pwrite(dev, buf, count, offset);
}

}  // namespace

namespace sandbox {

// Here rather than beside the configuration: reload() drops what every emulator keeps per
// process, and this file is the one that holds them all.
void reload() {
    for (const auto& [fd, dev] : g_open) {
        host::close_fd(fd);
    }
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
            dev.fd = sandbox::detail::mtd_open(dev.partition, flags);
            break;
        case Kind::i2c:
            dev.fd = sandbox::detail::i2c_open_adapter(dev.adapter, flags);
            break;
        case Kind::cpld:
            dev.fd = sandbox::detail::cpld_open(flags);
            break;
    }
    if (dev.fd < 0) {
        return -1;
    }
    g_open[dev.fd] = dev;
    return dev.fd;
}

int dev_close(int fd) {
    const auto it = g_open.find(fd);
    if (it == g_open.end()) {
        errno = EBADF;
        return -1;
    }
    g_open.erase(it);
    return sandbox::host::close_fd(fd);
}

ssize_t dev_read(int fd, void* buf, std::size_t count) {
    OpenDevice* dev = find_any(fd);
    if (dev == nullptr) {
        return -1;
    }
    if (dev->kind == Kind::i2c) {
        return sandbox::detail::i2c_plain_read(*dev, buf, count);
    }
    const ssize_t n = read_at(*dev, buf, count, dev->position);
    // The CPLD driver leaves the position where it was; the MTD driver moves it on.
    if (n > 0 && dev->kind == Kind::mtd) {
        dev->position += n;
    }
    return n;
}

ssize_t dev_write(int fd, const void* buf, std::size_t count) {
    OpenDevice* dev = find_any(fd);
    if (dev == nullptr) {
        return -1;
    }
    if (dev->kind == Kind::i2c) {
        return sandbox::detail::i2c_plain_write(*dev, buf, count);
    }
    const ssize_t n = write_at(*dev, buf, count, dev->position);
    if (n > 0 && dev->kind == Kind::mtd) {
        dev->position += n;
    }
    return n;
}

ssize_t dev_pread(int fd, void* buf, std::size_t count, off_t offset) {
    OpenDevice* dev = find_any(fd);
    if (dev == nullptr) {
        return -1;
    }
    if (dev->kind == Kind::i2c) {
        errno = ESPIPE;
        return -1;
    }
    return read_at(*dev, buf, count, offset);
}

ssize_t dev_pwrite(int fd, const void* buf, std::size_t count, off_t offset) {
    OpenDevice* dev = find_any(fd);
    if (dev == nullptr) {
        return -1;
    }
    if (dev->kind == Kind::i2c) {
        errno = ESPIPE;
        return -1;
    }
    return write_at(*dev, buf, count, offset);
}

off_t dev_lseek(int fd, off_t offset, int whence) {
    OpenDevice* dev = find_any(fd);
    if (dev == nullptr) {
        return -1;
    }
    if (dev->kind == Kind::i2c) {
        errno = ESPIPE;
        return -1;
    }
    off_t base = 0;
    switch (whence) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = dev->position;
            break;
        case SEEK_END:
            base = dev->kind == Kind::cpld ? sandbox::detail::kCpldRegisters
                                           : sandbox::detail::mtd_size(*dev);
            if (base < 0) {
                return -1;
            }
            break;
        default:
            errno = EINVAL;
            return -1;
    }
    if (offset < -base) {
        errno = EINVAL;
        return -1;
    }
    dev->position = base + offset;
    return dev->position;
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
