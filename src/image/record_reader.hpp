// The one way a record is read from a package, a slot file or a flash partition.
//
// Every reader probes a record's 20 bytes, then reads the record (boot, rescue image, installer)
// or streams a range of it (the debugger's extraction, mpimage). The guards against lying lengths
// live here once: a record whose lengths break the format is never read, and nothing is allocated
// or read beyond what the source holds, whatever its len field claims.
//
// Bulk reads go into page-aligned memory at page-aligned source offsets: the kernel's copy from
// the page cache is several times slower when a read's file offset and buffer address disagree
// modulo a cache line, and records start at any offset of a package.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <span>
#include <utility>

#include "image/record.hpp"

namespace image {

inline constexpr std::size_t kPageSize = 4096;

// A heap buffer that starts on a page boundary; empty when the heap could not provide it.
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    explicit AlignedBuffer(std::size_t size) noexcept;

    std::uint8_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return data_ ? size_ : 0; }
    explicit operator bool() const noexcept { return data_ != nullptr; }

private:
    struct Free {
        void operator()(std::uint8_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::uint8_t, Free> data_;
    std::size_t size_ = 0;
};

// Where record bytes come from.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // How many bytes the source holds.
    virtual std::uint64_t size() const noexcept = 0;
    // Fills `out` from `offset`: the bytes read (fewer only at the end of the source), or -1 with
    // errno set.
    virtual ssize_t read_at(std::uint64_t offset, std::span<std::uint8_t> out) const noexcept = 0;
};

// A file read through a descriptor the caller keeps open (pread: the file position is not used).
class FileSource final : public ByteSource {
public:
    // `size` is the file's size; FileSource::open_fd takes it from fstat.
    FileSource(int fd, std::uint64_t size) noexcept : fd_(fd), size_(size) {}
    // The source of an open regular file; size 0 when it cannot be examined.
    static FileSource of_fd(int fd) noexcept;

    std::uint64_t size() const noexcept override { return size_; }
    ssize_t read_at(std::uint64_t offset, std::span<std::uint8_t> out) const noexcept override;

private:
    int fd_;
    std::uint64_t size_;
};

// The 20-byte probe at `offset`: how many bytes of it the source holds (0..20).
std::size_t read_probe(const ByteSource& source, std::uint64_t offset,
                       std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) noexcept;

// The probe walk (walk_records) over the records of `source`, from its start.
template <class Visit>
WalkResult walk_records(const ByteSource& source, Visit&& visit) {
    return ::walk_records(
        [&source](std::uint64_t offset, std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) {
            return read_probe(source, offset, probe);
        },
        std::forward<Visit>(visit));
}

// A record as read from its source: what the source holds of it, from its first byte on.
struct LoadedRecord {
    RecordHeader header;
    std::span<const std::uint8_t> bytes;
    // The header is sound and the source held the whole record.
    bool whole = false;

    std::span<const std::uint8_t> payload() const noexcept { return header.payload(bytes); }
    // The CRC register over the bytes read from offset 4 on (over what exists for a record cut
    // short, never over memory the source did not fill).
    std::uint32_t computed_crc() const noexcept;
    // Whole, and its CRC is the header's (record_intact).
    bool intact() const noexcept { return whole && record_intact(bytes); }

    AlignedBuffer storage;  // bytes points into it
};

enum class LoadResult : std::uint8_t {
    loaded,     // `bytes` holds what the source has of the record (check `whole`)
    no_memory,  // the heap could not hold it
    read_error,
};

// Reads the record of `header` that starts at `offset`: its 32-bit record length, never more than
// the source holds. A header whose lengths break the format (classify_record) is never whole.
LoadResult load_record(const ByteSource& source, std::uint64_t offset, const RecordHeader& header,
                       LoadedRecord& out);

// The pieces of `length` bytes from `offset` on, read one after the other, each at a page-aligned
// offset of the source, into page-aligned buffers of at least `piece` bytes (a multiple of the
// page size) that the caller owns: so a caller may keep one piece while the next is read.
class RangeReader {
public:
    RangeReader(const ByteSource& source, std::uint64_t offset, std::uint64_t length,
                std::size_t piece) noexcept;

    // The next piece's bytes of the range, read into `buffer`; empty at the end of the range or
    // of the source, or after a read error.
    std::span<const std::uint8_t> next(std::uint8_t* buffer) noexcept;
    // The errno of the read that failed, 0 when none did.
    int error() const noexcept { return error_; }

private:
    const ByteSource& source_;
    std::uint64_t at_;
    std::size_t skip_;
    std::uint64_t left_;
    std::size_t piece_;
    bool ended_ = false;
    int error_ = 0;
};

// Streams `length` bytes from `offset` on to `sink` in pieces of at most `piece` bytes (a multiple
// of the page size), each read at a page-aligned offset into one page-aligned buffer. Stops at
// the end of the source, at a read error (its errno in `error`) or when `sink` returns false.
struct StreamResult {
    std::uint64_t done = 0;
    int error = 0;
    bool no_memory = false;
};
StreamResult stream_range(const ByteSource& source, std::uint64_t offset, std::uint64_t length,
                          std::size_t piece,
                          const std::function<bool(std::span<const std::uint8_t>)>& sink);

}  // namespace image
