// The MTD partitions: open once, learn the erase geometry from the kernel partition, then read,
// erase and read-modify-write byte ranges sector by sector.

#include "flash/flash.hpp"

#include <fcntl.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>

#include "base/partitions.hpp"
#include "base/progress.hpp"
#include "flash/flash_testing.hpp"
#include "platform/platform.hpp"

int uboot_fd = 0;
int uboot_env_fd = 0;
int device_tree_fd = 0;
int kernel_fd = 0;
int rfs_fd = 0;
int rescue_fd = 0;
int flash_fd = 0;

int debug_read = 0;
int debug_write = 0;
int debug_erase = 0;

namespace {

// Sectors go back to the chip in pieces of this size.
constexpr std::uint32_t kWritePiece = 1024;

struct FlashGeometry {
    char name[128];
    std::uint32_t sector_count;
    std::uint32_t sector_size;
    std::uint32_t sector_shift;
    std::uint32_t size;  // 0: no flash, every api_flash_ call fails untouched
};

constexpr FlashGeometry kUnknownFlash{"unknown", 0, 0, 0, 0};
FlashGeometry theFlash = kUnknownFlash;

// The descriptor of each partition of base's table, in its order, which is the order of the
// opens; a partition that will not open holds -1 and its calls fail at the device.
constexpr int* kDescriptors[] = {&uboot_fd,  &uboot_env_fd, &device_tree_fd,
                                 &kernel_fd, &rfs_fd,       &rescue_fd};
static_assert(std::size(kDescriptors) == base::kPartitions.size());

// The rescue partition is the one opened without O_SYNC. Nothing closes the partitions before
// the launcher execs the application, so they are close-on-exec: the application cannot write
// to the flash through a descriptor it never opened.
constexpr int open_flags(base::PartitionId id) {
    return (id == base::PartitionId::rescue ? O_RDWR : O_RDWR | O_SYNC) | O_CLOEXEC;
}

// The block I/O below masks with sector_size - 1, counts sectors by shifting and writes sectors
// back in 1 KiB pieces; an erase block that is not a power of two of at least 1 KiB cannot be
// handled that way (and 0 would divide by zero).
constexpr bool usable_erase_size(std::uint32_t erasesize) {
    return erasesize >= kWritePiece && (erasesize & (erasesize - 1)) == 0;
}

struct SectorSpan {
    std::uint32_t first;  // start of the sector holding the first byte
    std::uint32_t last;   // last byte of the sector holding the last byte
    std::uint32_t count;  // sectors touched; 0 for a length of 0 at a sector start
};

// All in 32-bit unsigned arithmetic: a length of 0 at a sector start wraps around to a count
// of 0, at any other offset to the one sector holding the offset.
SectorSpan sector_span(std::uint32_t offset, std::uint32_t length) {
    const std::uint32_t s = theFlash.sector_size;
    const std::uint32_t mask = ~(s - 1u);
    SectorSpan span{};
    span.first = offset & mask;
    span.last = ((offset + length - 1u) & mask) + s - 1u;
    span.count = (span.last - span.first + 1u) >> theFlash.sector_shift;
    return span;
}

void mtd_open(bool read_only) {
    for (const base::Partition& p : base::kPartitions) {
        *kDescriptors[static_cast<std::size_t>(p.id)] =
            platform::dev_open(p.device, read_only ? O_RDONLY | O_CLOEXEC : open_flags(p.id));
    }
    flash_fd = kernel_fd;
}

int mtd_type() {
    platform::MtdInfo info{};
    if (platform::mtd_meminfo(flash_fd, &info) != 0) {
        std::printf("Could not get MTD device info \n");
        return 0;
    }
    if (!usable_erase_size(info.erasesize)) {
        std::printf("Unsupported MTD erase size %lu\n", static_cast<unsigned long>(info.erasesize));
        return 0;
    }
    theFlash.sector_count = info.size / info.erasesize;
    theFlash.sector_size = info.erasesize;
    for (std::uint32_t bit = 0; bit < 32; ++bit) {
        if ((info.erasesize >> bit) & 1u) {
            theFlash.sector_shift = bit;
            break;
        }
    }
    std::snprintf(theFlash.name, sizeof theFlash.name, "%dMB w/%ld-%ldKB sectors",
                  static_cast<int>(info.size >> 20), static_cast<long>(theFlash.sector_count),
                  static_cast<long>(theFlash.sector_size >> 10));
    theFlash.size = info.size;
    if (theFlash.size == 0) {
        std::printf("NO FLASH !\n");
        return 0;
    }
    return 1;
}

int flash_open(bool read_only) {
    mtd_open(read_only);
    return mtd_type();
}

int mtd_read(int fd, std::uint32_t offset, std::uint32_t length, void* buffer) {
    if (debug_read) {
        std::printf("mtd read  0x%08lx to 0x%08lx 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1u),
                    reinterpret_cast<unsigned long>(buffer));
    }
    return platform::dev_pread(fd, buffer, length, static_cast<off_t>(offset)) < 0 ? 0 : 1;
}

int mtd_write(int fd, std::uint32_t offset, std::uint32_t length, const void* buffer) {
    return platform::dev_pwrite(fd, buffer, length, static_cast<off_t>(offset)) < 0 ? 0 : 1;
}

int mtd_erase(int fd, std::uint32_t offset, std::uint32_t length) {
    if (debug_erase) {
        std::printf("mtd erase 0x%08lx to 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1u));
    }
    return platform::mtd_memerase(fd, offset, length) < 0 ? 0 : 1;
}

int flash_read(void* buffer, int fd, std::uint32_t length, std::uint32_t offset) {
    if (debug_read) {
        std::printf("Flash Read 0x%08lx to 0x%08lx\n", static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1u));
    }
    return mtd_read(fd, offset, length, buffer);
}

int flash_erase(int fd, std::uint32_t length, std::uint32_t offset) {
    const SectorSpan span = sector_span(offset, length);
    const std::uint32_t s = theFlash.sector_size;
    if (debug_erase) {
        std::printf("Flash Erase 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n",
                    static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1u),
                    static_cast<unsigned long>(span.first), static_cast<unsigned long>(span.last),
                    static_cast<long>(span.count));
    }
    std::uint32_t cur = span.first;
    for (std::uint32_t i = 0; i < span.count; ++i, cur += s) {
        if (!mtd_erase(fd, cur, s)) {
            std::printf("Flash Erase mtd erase failed.\n");
            return 0;
        }
    }
    return 1;
}

// The failure line of a sector's read, erase or write inside a write, then an empty line that
// separates it from the progress display the operator was watching.
int write_failed(const char* what) {
    std::printf("%s\n\n", what);
    return 0;
}

int flash_write(const void* buffer, int fd, std::uint32_t length, std::uint32_t offset,
                std::uint8_t show_progress) {
    const SectorSpan span = sector_span(offset, length);
    const std::uint32_t s = theFlash.sector_size;
    const auto* src = static_cast<const std::uint8_t*>(buffer);

    std::unique_ptr<std::uint8_t[]> work(new (std::nothrow)
                                             std::uint8_t[std::size_t{s} + kWritePiece]);
    if (debug_write) {
        std::printf("Flash Write 0x%08lx to 0x%08lx (0x%08lx to 0x%08lx) %ld\n",
                    static_cast<unsigned long>(offset),
                    static_cast<unsigned long>(offset + length - 1u),
                    static_cast<unsigned long>(span.first), static_cast<unsigned long>(span.last),
                    static_cast<long>(span.count));
    }
    if (!work) {
        std::printf("Flash Write malloc failed\n");
        return 0;
    }
    std::optional<base::Progress> progress;
    if (show_progress) {
        progress.emplace("     ");
    }

    std::uint32_t consumed = 0;
    std::uint32_t cur = span.first;
    for (std::uint32_t i = 0; i < span.count; ++i) {
        std::uint32_t pos = 0;
        std::uint32_t chunk = s;
        if (span.count == 1) {
            pos = offset - span.first;
            chunk = length;
        } else if (i == 0) {
            pos = offset - span.first;
            chunk = s - pos;
        } else if (i == span.count - 1) {
            chunk = length - consumed;
        }

        std::memset(work.get(), 0, s);
        if (!mtd_read(fd, cur, s, work.get())) {
            return write_failed("Flash Write mtd read failed.");
        }
        if (chunk != 0) {
            std::memcpy(work.get() + pos, src + consumed, chunk);
        }
        if (!mtd_erase(fd, cur, s)) {
            return write_failed("Flash Write mtd erase failed.");
        }
        for (std::uint32_t j = 0; j < s; j += kWritePiece) {
            if (!mtd_write(fd, cur + j, kWritePiece, work.get() + j)) {
                return write_failed("Flash Write mtd write failed.");
            }
        }
        if (progress) {
            progress->show(i, span.count);
        }
        cur += s;
        consumed += chunk;
    }
    if (progress) {
        progress->finish();
    }
    return 1;
}

}  // namespace

int api_flash_init() {
    return flash_open(false) ? 0 : -1;
}

int api_flash_init_read_only() {
    return flash_open(true) ? 0 : -1;
}

int api_flash_read(void* buffer, int fd, std::uint32_t offset, std::uint32_t length) {
    if (theFlash.size == 0) {
        return -1;
    }
    return flash_read(buffer, fd, length, offset) ? 0 : -1;
}

int api_flash_write(const void* buffer, int fd, std::uint32_t offset, std::uint32_t length,
                    std::uint8_t show_progress) {
    if (theFlash.size == 0) {
        return -1;
    }
    return flash_write(buffer, fd, length, offset, show_progress) ? 0 : -1;
}

int api_flash_erase(int fd, std::uint32_t offset, std::uint32_t length) {
    if (theFlash.size == 0) {
        return -1;
    }
    return flash_erase(fd, length, offset) ? 0 : -1;
}

int mtd_get_size(int fd, std::uint32_t* size) {
    platform::MtdInfo info{};
    if (platform::mtd_meminfo(fd, &info) != 0) {
        return 0;
    }
    *size = info.size;
    return 1;
}

// ---- Test hooks ---------------------------------------------------------------------------

void flash_reset_for_tests() {
    for (int* fd : kDescriptors) {
        if (*fd > 0) {
            platform::dev_close(*fd);
        }
        *fd = 0;
    }
    flash_fd = 0;
    theFlash = kUnknownFlash;
    debug_read = debug_write = debug_erase = 0;
}
