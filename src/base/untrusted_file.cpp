#include "base/untrusted_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

namespace base {

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

bool remove_entry(const char* path, int dir) {
    if (::unlinkat(dir, path, 0) == 0 || errno == ENOENT) {
        return true;
    }
    // unlink(2) refuses a directory with EISDIR (Linux) or EPERM (POSIX).
    if (errno != EISDIR && errno != EPERM) {
        return false;
    }
    return ::unlinkat(dir, path, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

UniqueFd create_fresh(const char* path, mode_t mode, int dir) {
    if (!remove_entry(path, dir)) {
        return UniqueFd();
    }
    return UniqueFd(
        ::openat(dir, path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode));
}

bool rename_over(const char* from, const char* to, int dir) {
    struct stat st {};
    if ((::fstatat(dir, to, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
         ::unlinkat(dir, to, AT_REMOVEDIR) != 0) ||
        ::renameat(dir, from, dir, to) != 0) {
        const int err = errno;  // for the caller's message, past the clean-up
        static_cast<void>(::unlinkat(dir, from, 0));
        errno = err;
        return false;
    }
    sync_parent(to, dir);
    return true;
}

void sync_parent(const char* path, int dir) {
    const std::string_view name = path;
    const auto slash = name.rfind('/');
    const std::string parent = slash == std::string_view::npos ? "."
                               : slash == 0                    ? "/"
                                                               : std::string(name.substr(0, slash));
    const UniqueFd fd(::openat(dir, parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        static_cast<void>(::fsync(fd.get()));
    }
}

}  // namespace base
