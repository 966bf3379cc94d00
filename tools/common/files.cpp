#include "common/files.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>

namespace host_tools {

// Packages and slot files beyond 2 GiB: the powerpc build reads and writes them as the host does.
static_assert(sizeof(off_t) == 8, "64-bit file offsets in every build");

namespace {

template <typename Byte, typename Call>
Transfer transfer(std::span<Byte> bytes, std::optional<std::uint64_t> offset, Call call) {
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

}  // namespace

Transfer write_all(int fd, std::span<const std::uint8_t> bytes,
                   std::optional<std::uint64_t> offset) {
    Transfer t = transfer(bytes, offset,
                          [fd](const std::uint8_t* p, std::size_t n, std::optional<off_t> at) {
                              return at ? ::pwrite(fd, p, n, *at) : ::write(fd, p, n);
                          });
    if (t.ok() && t.done < bytes.size()) {
        t.error = EIO;  // a write that takes nothing would be repeated for ever
    }
    return t;
}

Transfer read_full(int fd, std::span<std::uint8_t> out, std::optional<std::uint64_t> offset) {
    return transfer(out, offset, [fd](std::uint8_t* p, std::size_t n, std::optional<off_t> at) {
        return at ? ::pread(fd, p, n, *at) : ::read(fd, p, n);
    });
}

Transfer read_to_end(int fd, std::vector<std::uint8_t>& out) {
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

}  // namespace host_tools
