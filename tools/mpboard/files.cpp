#include "files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "failure.hpp"

namespace mpboard {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

std::vector<std::string> names_in(int dir_fd, const std::string& shown) {
    std::vector<std::string> names;
    base::UniqueFd listing(::dup(dir_fd));
    const Dir dir(listing ? ::fdopendir(listing.get()) : nullptr);
    if (!dir) {
        fail_errno(shown);
    }
    listing.release();  // the stream owns it now
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") {
            names.emplace_back(n);
        }
    }
    return names;
}

constexpr mode_t kSetId = S_ISUID | S_ISGID;

}  // namespace

std::vector<std::uint8_t> read_all(int fd, const std::string& shown) {
    std::vector<std::uint8_t> out;
    const base::Transfer t = base::read_to_end(fd, out);
    if (!t.ok()) {
        errno = t.error;
        fail_errno(shown, "read");
    }
    return out;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        fail_errno(path);
    }
    return read_all(fd.get(), path);
}

void write_atomic_at(int dir_fd, const std::string& name, std::span<const std::uint8_t> bytes,
                     unsigned mode, const std::string& shown) {
    const std::string temp = name + ".mpboard-new";
    ::unlinkat(dir_fd, temp.c_str(), 0);
    base::UniqueFd fd(
        ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!fd) {
        fail_errno(shown);
    }
    try {
        if (!base::write_all(fd.get(), bytes)) {
            fail_errno(shown, "write");
        }
        if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0) {
            fail_errno(shown);
        }
        if (fd.close() != 0) {
            fail_errno(shown, "close");
        }
        if (::renameat(dir_fd, temp.c_str(), dir_fd, name.c_str()) != 0) {
            fail_errno(shown, "rename");
        }
    } catch (...) {
        ::unlinkat(dir_fd, temp.c_str(), 0);
        throw;
    }
}

void write_text_atomic(const std::string& path, std::string_view text, unsigned mode) {
    const auto [parent, name] = split_parent(path);
    const base::UniqueFd dir(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        fail_errno(parent);
    }
    write_atomic_at(dir.get(), name, bytes_of(text), mode, path);
}

void remove_contents(int dir_fd, const std::string& shown) {
    const std::vector<std::string> names = names_in(dir_fd, shown);
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        const std::string entry = shown + "/" + name;
        if (S_ISDIR(st.st_mode)) {
            const base::UniqueFd sub(
                ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                fail_errno(entry);
            }
            remove_contents(sub.get(), entry);
        }
        if (::unlinkat(dir_fd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
            fail_errno(entry, "removing");
        }
    }
}

void clear_set_id_bits(int dir_fd, const std::string& shown) {
    struct stat st {};
    if (::fstat(dir_fd, &st) != 0) {
        fail_errno(shown);
    }
    if ((st.st_mode & kSetId) != 0 && ::fchmod(dir_fd, st.st_mode & 07777 & ~kSetId) != 0) {
        fail_errno(shown, "chmod");
    }
    for (const std::string& name : names_in(dir_fd, shown)) {
        if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode)) {
            continue;
        }
        const std::string entry = shown + "/" + name;
        if (!S_ISDIR(st.st_mode)) {
            if ((st.st_mode & kSetId) != 0 &&
                ::fchmodat(dir_fd, name.c_str(), st.st_mode & 07777 & ~kSetId, 0) != 0) {
                fail_errno(entry, "chmod");
            }
            continue;
        }
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        base::UniqueFd sub(::openat(dir_fd, name.c_str(), kFlags));
        // A directory the board's root closed to everyone: the caller owns it, as the board did.
        if (!sub && errno == EACCES &&
            ::fchmodat(dir_fd, name.c_str(), (st.st_mode & 07777) | S_IRWXU, 0) == 0) {
            sub = base::UniqueFd(::openat(dir_fd, name.c_str(), kFlags));
        }
        if (!sub) {
            fail_errno(entry);
        }
        clear_set_id_bits(sub.get(), entry);
    }
}

std::pair<std::string, std::string> split_parent(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {".", std::string(path)};
    }
    return {slash == 0 ? std::string("/") : std::string(path.substr(0, slash)),
            std::string(path.substr(slash + 1))};
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    if (ec) {
        fail(path + ": " + ec.message());
    }
}

}  // namespace mpboard
