// Whole reads and writes on descriptors: every byte or a failure, never a silent short transfer.
// Calls interrupted by a signal are repeated. Header only: the platform implementations use it
// beside the modules.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace base {

// How far a transfer got: `done` bytes, then the errno of the call that failed (0: none failed).
struct Transfer {
    std::size_t done = 0;
    int error = 0;
    bool ok() const noexcept { return error == 0; }
    explicit operator bool() const noexcept { return ok(); }
};

// Writes all of `bytes`, at `offset` when given (pwrite), else at the file position. A write that
// takes nothing fails with EIO instead of being repeated for ever.
inline Transfer write_all(int fd, std::span<const std::uint8_t> bytes,
                          std::optional<std::uint64_t> offset = std::nullopt) noexcept;

// Fills `out` from `offset` when given (pread), else from the file position; fewer bytes (done <
// out.size(), no error) only at the end of the file.
inline Transfer read_full(int fd, std::span<std::uint8_t> out,
                          std::optional<std::uint64_t> offset = std::nullopt) noexcept;

// Appends everything from the file position to the end of the file to `out`.
inline Transfer read_to_end(int fd, std::vector<std::uint8_t>& out);

// ---- Definitions ----

// Packages and slot files beyond 2 GiB: the powerpc build reads and writes them as the host does.
static_assert(sizeof(off_t) == 8, "64-bit file offsets in every build");

namespace detail {

template <typename Byte, typename Call>
Transfer transfer(std::span<Byte> bytes, std::optional<std::uint64_t> offset, Call call) noexcept {
    Transfer t;
    while (t.done < bytes.size()) {
        const ssize_t n = call(
            bytes.data() + t.done, bytes.size() - t.done,
            offset ? std::optional<off_t>(static_cast<off_t>(*offset + t.done)) : std::nullopt);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            t.error = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        t.done += static_cast<std::size_t>(n);
    }
    return t;
}

}  // namespace detail

inline Transfer write_all(int fd, std::span<const std::uint8_t> bytes,
                          std::optional<std::uint64_t> offset) noexcept {
    Transfer t = detail::transfer(
        bytes, offset, [fd](const std::uint8_t* p, std::size_t n, std::optional<off_t> at) {
            return at ? ::pwrite(fd, p, n, *at) : ::write(fd, p, n);
        });
    if (t.ok() && t.done < bytes.size()) {
        t.error = EIO;
    }
    return t;
}

inline Transfer read_full(int fd, std::span<std::uint8_t> out,
                          std::optional<std::uint64_t> offset) noexcept {
    return detail::transfer(out, offset,
                            [fd](std::uint8_t* p, std::size_t n, std::optional<off_t> at) {
                                return at ? ::pread(fd, p, n, *at) : ::read(fd, p, n);
                            });
}

inline Transfer read_to_end(int fd, std::vector<std::uint8_t>& out) {
    constexpr std::size_t kChunk = 65536;
    Transfer total;
    for (;;) {
        const std::size_t before = out.size();
        out.resize(before + kChunk);
        const Transfer t = read_full(fd, std::span(out).subspan(before));
        out.resize(before + t.done);
        total.done += t.done;
        if (!t.ok() || t.done < kChunk) {
            total.error = t.error;
            return total;
        }
    }
}

}  // namespace base
