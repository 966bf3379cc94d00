// File descriptors and whole transfers, shared by the host tools. The helpers never throw: each
// tool words its own messages and exit statuses around what they return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "base/unique_fd.hpp"
namespace host_tools {

using base::UniqueFd;

// How far a transfer got: `done` bytes, then the errno of the call that failed (0: none failed).
struct Transfer {
    std::size_t done = 0;
    int error = 0;
    bool ok() const noexcept { return error == 0; }
};

// Writes all of `bytes`, at `offset` when given (pwrite), else at the file position; a call
// interrupted by a signal is repeated.
Transfer write_all(int fd, std::span<const std::uint8_t> bytes,
                   std::optional<std::uint64_t> offset = std::nullopt);

// Fills `out` from `offset` when given, else from the file position; fewer bytes (done <
// out.size(), no error) only at the end of the file.
Transfer read_full(int fd, std::span<std::uint8_t> out,
                   std::optional<std::uint64_t> offset = std::nullopt);

// Appends everything from the file position to the end of the file to `out`.
Transfer read_to_end(int fd, std::vector<std::uint8_t>& out);

}  // namespace host_tools
