// NOR flash partitions on regular files, with the rules of the MTD character driver: erase
// works on whole erase blocks, programming only clears bits, reads stop at the partition's end.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "platform/sandbox/emulators.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform::sandbox::detail {

namespace {

std::string fault_text(std::string_view op, base::PartitionId part, std::uint32_t sector) {
    return "mtd " + std::string(op) + " " + base::partition(part).name + " sector " +
           std::to_string(sector);
}

// True when [offset, offset + length) touches the faulty erase block of this partition.
bool hits(const std::optional<SectorFault>& fault, base::PartitionId part, std::uint64_t offset,
          std::uint64_t length) {
    if (!fault || fault->partition != part || length == 0) {
        return false;
    }
    const std::uint64_t es = config().erase_size;
    if (es == 0) {
        return fault->sector == 0;
    }
    return fault->sector >= offset / es && fault->sector <= (offset + length - 1) / es;
}

bool fails_at(const std::optional<SectorFault>& fault, std::string_view op, base::PartitionId part,
              std::uint64_t offset, std::uint64_t length) {
    if (!hits(fault, part, offset, length)) {
        return false;
    }
    board_log("fault", fault_text(op, part, fault->sector));
    errno = EIO;
    return true;
}

// The whole range from the backing file; a file shorter than the partition it was sized as
// fails EIO.
bool read_cells(int fd, std::span<std::uint8_t> cells, off_t offset) {
    const ssize_t n = host::read_at(fd, cells, offset);
    if (n >= 0 && static_cast<std::size_t>(n) != cells.size()) {
        errno = EIO;
        return false;
    }
    return n >= 0;
}

// The number of this MTD write or erase when the power is to go now, 0 otherwise.
std::uint32_t cut_due() {
    const std::uint32_t after = config().power_cut_after;
    if (after == 0) {
        return 0;
    }
    const Stats& st = mutable_stats();
    const std::uint64_t number = std::uint64_t{st.mtd_writes} + st.mtd_erases;
    return number >= after ? static_cast<std::uint32_t>(number) : 0;
}

std::string cut_text(std::uint32_t number, std::string_view op, base::PartitionId part,
                     std::uint64_t offset, std::uint64_t length) {
    const std::uint64_t es = config().erase_size;
    return "op " + std::to_string(number) + ": " + std::string(op) + " " +
           base::partition(part).name + " sector " + std::to_string(es == 0 ? 0 : offset / es) +
           " offset " + std::to_string(offset) + " length " + std::to_string(length) + ", " +
           std::to_string(config().power_cut_done_percent) + "% done";
}

// The part of an operation of `count` bytes that reaches the chip before the supply fails.
std::size_t done_part(std::size_t count) {
    return static_cast<std::size_t>(std::uint64_t{count} * config().power_cut_done_percent / 100);
}

}  // namespace

int mtd_open(base::PartitionId part, int flags) {
    if (config().mtd_absent) {
        board_log("fault", std::string("mtd absent ") + base::partition(part).name);
        errno = ENOENT;
        return -1;
    }
    // The emulator reads the old bytes of every write (programming ANDs), so a write-only open
    // still needs a readable backing file. O_SYNC and every other flag stay behind: the driver
    // does not pass them to the chip either.
    const int mode = (flags & O_ACCMODE) == O_RDONLY ? O_RDONLY : O_RDWR;
    return host::open_backing(board_path(board_file(base::partition(part))), mode);
}

ssize_t mtd_pread(const OpenDevice& dev, void* buf, std::size_t count, off_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const off_t size = host::file_size(dev.fd.get());
    if (size < 0) {
        return -1;
    }
    if (offset >= size) {
        return 0;
    }
    // Like the driver: a read that runs over the end returns the bytes that lie within.
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(count, static_cast<std::uint64_t>(size - offset)));
    if (n == 0) {
        return 0;
    }
    if (fails_at(config().mtd_read_fault, "read", dev.partition, static_cast<std::uint64_t>(offset),
                 n)) {
        return -1;
    }
    if (!read_cells(dev.fd.get(), {static_cast<std::uint8_t*>(buf), n}, offset)) {
        return -1;
    }
    return static_cast<ssize_t>(n);
}

ssize_t mtd_pwrite(const OpenDevice& dev, const void* buf, std::size_t count, off_t offset) {
    ++mutable_stats().mtd_writes;
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const off_t size = host::file_size(dev.fd.get());
    if (size < 0) {
        return -1;
    }
    // A write that does not fit is refused whole, so a range computed wrong shows up as a
    // failure instead of a partly programmed partition.
    if (offset >= size || count > static_cast<std::uint64_t>(size - offset)) {
        errno = ENOSPC;
        return -1;
    }
    if (count == 0) {
        return 0;
    }
    if (fails_at(config().mtd_write_fault, "write", dev.partition,
                 static_cast<std::uint64_t>(offset), count)) {
        return -1;
    }
    std::vector<std::uint8_t> cells(count);
    if (!read_cells(dev.fd.get(), cells, offset)) {
        return -1;
    }
    const auto* data = static_cast<const std::uint8_t*>(buf);
    // NOR programming pulls bits to 0 and never back to 1: only an erase sets them again.
    if (config().strict) {
        for (std::size_t i = 0; i < count; ++i) {
            if ((data[i] & ~cells[i]) != 0) {
                errno = EIO;
                return -1;
            }
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        cells[i] &= data[i];
    }
    if (const std::uint32_t number = cut_due(); number != 0) {
        // The cells programmed so far keep their new bits; the rest keep their old ones.
        static_cast<void>(host::write_at(dev.fd.get(), {cells.data(), done_part(count)}, offset));
        power_cut(
            cut_text(number, "write", dev.partition, static_cast<std::uint64_t>(offset), count));
    }
    if (!host::write_at(dev.fd.get(), cells, offset)) {
        return -1;
    }
    return static_cast<ssize_t>(count);
}

int mtd_getinfo(const OpenDevice& dev, MtdInfo* info) {
    const BoardConfig& c = config();
    if (c.mtd_meminfo_fails) {
        board_log("fault", std::string("mtd meminfo ") + base::partition(dev.partition).name);
        errno = EIO;
        return -1;
    }
    const off_t size = host::file_size(dev.fd.get());
    if (size < 0) {
        return -1;
    }
    info->size = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        static_cast<std::uint64_t>(size), std::numeric_limits<std::uint32_t>::max()));
    if (c.mtd_size0) {
        board_log("fault", std::string("mtd size0 ") + base::partition(dev.partition).name);
        info->size = 0;
    }
    info->erasesize = c.erase_size;
    return 0;
}

int mtd_erase_range(const OpenDevice& dev, std::uint32_t start, std::uint32_t length) {
    ++mutable_stats().mtd_erases;
    const BoardConfig& c = config();
    const off_t size = host::file_size(dev.fd.get());
    if (size < 0) {
        return -1;
    }
    const auto total = static_cast<std::uint64_t>(size);
    if (start >= total || length > total - start) {
        errno = EINVAL;
        return -1;
    }
    if (length == 0) {
        return 0;
    }
    const std::uint32_t es = c.erase_size;
    if (es == 0 || start % es != 0 || length % es != 0) {
        errno = EINVAL;
        return -1;
    }
    const std::vector<std::uint8_t> blank(es, 0xFF);
    // Blocks are erased in order; a block that fails leaves the ones before it erased, as the
    // chip does.
    for (std::uint64_t at = start; at < std::uint64_t{start} + length; at += es) {
        if (fails_at(c.mtd_erase_fault, "erase", dev.partition, at, es)) {
            return -1;
        }
        if (const std::uint32_t number = cut_due(); number != 0) {
            // An interrupted erase: part of the block already reads 0xFF, the rest is old.
            static_cast<void>(host::write_at(dev.fd.get(), {blank.data(), done_part(es)},
                                             static_cast<off_t>(at)));
            power_cut(cut_text(number, "erase", dev.partition, at, es));
        }
        if (!host::write_at(dev.fd.get(), blank, static_cast<off_t>(at))) {
            return -1;
        }
    }
    return 0;
}

}  // namespace platform::sandbox::detail
