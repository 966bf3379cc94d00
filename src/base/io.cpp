#include "base/io.hpp"

#include <unistd.h>

#include <cerrno>

namespace base {

bool write_all(int fd, std::span<const std::uint8_t> data) noexcept {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data = data.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

ssize_t read_full(int fd, std::span<std::uint8_t> data, off_t offset) noexcept {
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::pread(fd, data.data() + got, data.size() - got,
                                  offset + static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace base
