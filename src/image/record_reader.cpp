#include "image/record_reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "base/io.hpp"
#include "crc/crc.hpp"

namespace image {

namespace {

constexpr std::uint64_t align_down(std::uint64_t offset) noexcept {
    return offset & ~std::uint64_t{kPageSize - 1};
}

}  // namespace

AlignedBuffer::AlignedBuffer(std::size_t size) noexcept : size_(size) {
    void* p = nullptr;
    if (::posix_memalign(&p, kPageSize, std::max<std::size_t>(size, 1)) == 0) {
        data_.reset(static_cast<std::uint8_t*>(p));
    }
}

FileSource FileSource::of_fd(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return FileSource(fd, 0);
    }
    return FileSource(fd, static_cast<std::uint64_t>(st.st_size));
}

ssize_t FileSource::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const noexcept {
    const base::Transfer t = base::read_full(fd_, out, offset);
    if (!t.ok()) {
        errno = t.error;
        return -1;
    }
    return static_cast<ssize_t>(t.done);
}

std::size_t read_probe(const ByteSource& source, std::uint64_t offset,
                       std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) noexcept {
    const ssize_t got = source.read_at(offset, probe);
    return got < 0 ? 0 : static_cast<std::size_t>(got);
}

std::uint32_t LoadedRecord::computed_crc() const noexcept {
    if (bytes.size() <= 4) {
        return CRC_START;
    }
    return gen_crc(bytes.data() + 4, static_cast<std::uint32_t>(bytes.size() - 4), CRC_START);
}

LoadResult load_record(const ByteSource& source, std::uint64_t offset, const RecordHeader& header,
                       LoadedRecord& out) {
    out.header = header;
    out.bytes = {};
    out.whole = false;
    // The record length as every reader computes it, 32-bit: for a header whose lengths break
    // the format the bytes read are only a report's material, never a whole record.
    const std::uint32_t length = header.record_length();
    const std::uint64_t held = source.size() > offset ? source.size() - offset : 0;
    const std::uint64_t want = std::min<std::uint64_t>(length, held);
    const std::uint64_t start = align_down(offset);
    const std::size_t lead = static_cast<std::size_t>(offset - start);
    if (want > SIZE_MAX - lead) {
        return LoadResult::no_memory;  // a 32-bit board cannot address it
    }
    AlignedBuffer buffer(lead + static_cast<std::size_t>(want));
    if (!buffer) {
        return LoadResult::no_memory;
    }
    const ssize_t got = source.read_at(start, std::span(buffer.data(), lead + want));
    if (got < 0) {
        return LoadResult::read_error;
    }
    const std::size_t record_bytes =
        static_cast<std::size_t>(got) > lead ? static_cast<std::size_t>(got) - lead : 0;
    out.storage = std::move(buffer);
    out.bytes = std::span<const std::uint8_t>(out.storage.data() + lead, record_bytes);
    out.whole = record_bytes == length && classify_record(header) == RecordFault::none;
    return LoadResult::loaded;
}

RangeReader::RangeReader(const ByteSource& source, std::uint64_t offset, std::uint64_t length,
                         std::size_t piece) noexcept
    : source_(source),
      at_(align_down(offset)),
      skip_(static_cast<std::size_t>(offset - align_down(offset))),
      left_(length),
      piece_(piece) {}

std::span<const std::uint8_t> RangeReader::next(std::uint8_t* buffer) noexcept {
    if (ended_ || left_ == 0) {
        return {};
    }
    const ssize_t got = source_.read_at(at_, std::span(buffer, piece_));
    if (got < 0) {
        error_ = errno;
        ended_ = true;
        return {};
    }
    if (static_cast<std::size_t>(got) <= skip_) {
        ended_ = true;
        return {};
    }
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(static_cast<std::size_t>(got) - skip_, left_));
    const std::span<const std::uint8_t> bytes(buffer + skip_, n);
    left_ -= n;
    ended_ = static_cast<std::size_t>(got) < piece_;
    at_ += piece_;
    skip_ = 0;
    return bytes;
}

StreamResult stream_range(const ByteSource& source, std::uint64_t offset, std::uint64_t length,
                          std::size_t piece,
                          const std::function<bool(std::span<const std::uint8_t>)>& sink) {
    StreamResult result;
    // A short range takes a buffer of its own size: a record of a few KiB needs no 1 MiB piece.
    const std::uint64_t span = offset - align_down(offset) + length + kPageSize - 1;
    piece = static_cast<std::size_t>(
        std::min<std::uint64_t>(piece, std::max<std::uint64_t>(align_down(span), kPageSize)));
    AlignedBuffer buffer(piece);
    if (!buffer) {
        result.no_memory = true;
        return result;
    }
    RangeReader reader(source, offset, length, piece);
    for (std::span<const std::uint8_t> bytes; !(bytes = reader.next(buffer.data())).empty();) {
        if (!sink(bytes)) {
            break;
        }
        result.done += bytes.size();
    }
    result.error = reader.error();
    return result;
}

}  // namespace image
