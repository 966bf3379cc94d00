#include "base/untrusted_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace base {

namespace {

// The directory of `path`, synced so that a rename in it outlives a power cut.
void sync_parent(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        static_cast<void>(::fsync(fd.get()));
    }
}

}  // namespace

UniqueFd open_regular(const char* path, Found& found) {
    // Looked at before the open, so that nothing but a regular file is ever opened; the open
    // itself follows no link and waits on nothing, and the descriptor is checked again in case
    // the name changed in between.
    struct stat st {};
    if (::lstat(path, &st) != 0) {
        found = errno == ENOENT ? Found::missing : Found::failed;
        return UniqueFd();
    }
    if (!S_ISREG(st.st_mode)) {
        found = Found::not_regular;
        return UniqueFd();
    }
    UniqueFd fd(::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        found = errno == ENOENT  ? Found::missing
                : errno == ELOOP ? Found::not_regular
                                 : Found::failed;
        return fd;
    }
    if (::fstat(fd.get(), &st) != 0) {
        found = Found::failed;
        return UniqueFd();
    }
    if (!S_ISREG(st.st_mode)) {
        found = Found::not_regular;
        return UniqueFd();
    }
    found = Found::regular;
    return fd;
}

bool remove_entry(const char* path) {
    if (::unlink(path) == 0 || errno == ENOENT) {
        return true;
    }
    // unlink(2) refuses a directory with EISDIR (Linux) or EPERM (POSIX).
    if (errno != EISDIR && errno != EPERM) {
        return false;
    }
    return ::rmdir(path) == 0 || errno == ENOENT;
}

UniqueFd create_fresh(const char* path, mode_t mode) {
    if (!remove_entry(path)) {
        return UniqueFd();
    }
    return UniqueFd(
        ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode));
}

bool rename_over(const char* from, const char* to) {
    struct stat st {};
    if ((::lstat(to, &st) == 0 && S_ISDIR(st.st_mode) && ::rmdir(to) != 0) ||
        std::rename(from, to) != 0) {
        const int err = errno;  // for the caller's message, past the clean-up
        static_cast<void>(::unlink(from));
        errno = err;
        return false;
    }
    sync_parent(to);
    return true;
}

}  // namespace base
