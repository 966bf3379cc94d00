// Whole reads and writes on descriptors: every byte or a failure, never a silent short transfer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <span>

namespace base {

// Writes every byte, going on after EINTR and short writes. False with errno set otherwise (EIO
// for a write that made no progress).
bool write_all(int fd, std::span<const std::uint8_t> data) noexcept;

// Reads up to data.size() bytes from file offset `offset` on, going on after EINTR and short
// reads until the buffer is full or the file ends: the bytes read, or -1 with errno set.
ssize_t read_full(int fd, std::span<std::uint8_t> data, off_t offset) noexcept;

}  // namespace base
