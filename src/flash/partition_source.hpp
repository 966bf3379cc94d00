// A flash partition as a record source (image/record_reader.hpp), for the readers of a record in
// flash: the rescue image's boot and copy, and the status. The flash layer counts a short read as
// success and reads past the partition's end come back short, so the buffer is zeroed first: no
// byte of a record is ever undefined, and one that claims more than the partition holds is never
// read.
#pragma once

#include <algorithm>
#include <cstring>
#include <span>

#include "flash/flash.hpp"
#include "image/record_reader.hpp"

namespace flash {

class PartitionSource final : public image::ByteSource {
public:
    // `fd`: one of the partition descriptors of flash.hpp (api_flash_init has opened them).
    explicit PartitionSource(int fd) noexcept : fd_(fd) {
        if (mtd_get_size(fd_, &size_) != 1) {
            size_ = 0;
        }
    }
    std::uint64_t size() const noexcept override { return size_; }
    ssize_t read_at(std::uint64_t offset, std::span<std::uint8_t> out) const noexcept override {
        std::memset(out.data(), 0, out.size());
        const std::uint64_t n =
            offset < size_ ? std::min<std::uint64_t>(out.size(), size_ - offset) : 0;
        if (n != 0 && api_flash_read(out.data(), fd_, static_cast<std::uint32_t>(offset),
                                     static_cast<std::uint32_t>(n)) != 0) {
            return -1;
        }
        return static_cast<ssize_t>(n);
    }

private:
    int fd_;
    std::uint32_t size_ = 0;
};

}  // namespace flash
