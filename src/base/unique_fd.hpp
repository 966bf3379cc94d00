// The one owner of a file descriptor, for every layer: the modules on the board, the sandbox's
// host layer, the jail and the host tools. Header only, with nothing but the C library.
#pragma once

#include <unistd.h>

#include <utility>

namespace base {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0 && fd_ != fd) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    // Closes now, so that a failure of the close itself (a deferred write error) is seen.
    int close() noexcept { return ::close(release()); }

private:
    int fd_;
};

}  // namespace base
