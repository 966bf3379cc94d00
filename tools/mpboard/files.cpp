#include "files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <string_view>

#include "base/durable_file.hpp"
#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "failure.hpp"

namespace mpboard {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// False with errno when the directory cannot be listed.
bool names_in(int dir_fd, std::vector<std::string>& names) {
    base::UniqueFd listing(::openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Dir dir(listing ? ::fdopendir(listing.get()) : nullptr);
    if (!dir) {
        return false;
    }
    listing.release();  // the stream owns it now
    while (const dirent* e = ::readdir(dir.get())) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") {
            names.emplace_back(n);
        }
    }
    return true;
}

// A directory the walk is in: its identity (to come back to it through ".."), its name in its
// parent and the names still to visit in it.
struct Level {
    dev_t dev;
    ino_t ino;
    std::string name;
    std::vector<std::string> left;
};

// A name the board chose, for a message: its control bytes as \xHH.
std::string printable(std::string_view name) {
    std::string out;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\') {
            out.push_back(c);
        } else {
            constexpr const char* kHex = "0123456789abcdef";
            out.append({'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]});
        }
    }
    return out;
}

std::string path_of(const std::string& shown, const std::vector<Level>& levels) {
    std::string path = shown;
    for (std::size_t i = 1; i < levels.size(); ++i) {
        path.append("/").append(printable(levels[i].name));
    }
    return path;
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
    base::DurableFile file(dir_fd, name + ".mpboard-new", name, mode,
                           base::DurableFile::Place::own);
    if (!file) {
        fail_errno(shown);
    }
    if (!file.write(bytes)) {
        fail_errno(shown, "write");
    }
    if (::fchmod(file.fd(), mode) != 0 || !file.finish()) {
        fail_errno(shown, file.failed() == base::DurableFile::Step::close ? "close" : "");
    }
    if (!file.replace()) {
        fail_errno(shown, "rename");
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

void walk_tree(int top, const std::string& shown, const Visit& enter, const Leave& leave) {
    base::UniqueFd here(::openat(top, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<Level> levels;
    const auto push = [&](std::string name) {
        struct stat st {};
        Level level{0, 0, std::move(name), {}};
        if (!here || ::fstat(here.get(), &st) != 0 || !names_in(here.get(), level.left)) {
            const int err = errno;
            levels.push_back(std::move(level));
            errno = err;
            fail_errno(path_of(shown, levels));
        }
        level.dev = st.st_dev;
        level.ino = st.st_ino;
        levels.push_back(std::move(level));
    };
    push("");
    while (!levels.empty()) {
        Level& level = levels.back();
        if (level.left.empty()) {
            const std::string name = std::move(level.name);
            const std::string path = path_of(shown, levels);
            levels.pop_back();
            if (levels.empty()) {
                break;
            }
            // Back up through "..", which must be the directory the walk came from.
            base::UniqueFd up(::openat(here.get(), "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            struct stat st {};
            if (!up || ::fstat(up.get(), &st) != 0 || st.st_dev != levels.back().dev ||
                st.st_ino != levels.back().ino) {
                fail(path + ": moved while mpboard went through it");
            }
            here = std::move(up);
            leave(here.get(), name);
            continue;
        }
        const std::string name = std::move(level.left.back());
        level.left.pop_back();
        struct stat st {};
        if (::fstatat(here.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !enter(here.get(), name, st) || !S_ISDIR(st.st_mode)) {
            continue;
        }
        base::UniqueFd sub(
            ::openat(here.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat sub_st {};
        if (sub && (::fstat(sub.get(), &sub_st) != 0 || sub_st.st_ino != st.st_ino)) {
            fail(path_of(shown, levels) + "/" + printable(name) +
                 ": replaced while mpboard went through it");
        }
        here = std::move(sub);
        push(name);
    }
}

namespace {

// A directory of the caller's that the caller may not list or enter (mode 0405): opened up for
// the walk, and given its mode back when the walk leaves it. Another account's fails by name.
class OpenedUp {
public:
    // Call for each directory the walk enters.
    void enter(int dir_fd, const std::string& name, const struct stat& st) {
        const bool closed =
            (st.st_mode & S_IRWXU) != S_IRWXU && st.st_uid == ::geteuid() && ::geteuid() != 0;
        if (closed && ::fchmodat(dir_fd, name.c_str(), (st.st_mode & 07777) | S_IRWXU, 0) != 0) {
            fail_errno(name, "chmod");
        }
        modes_.push_back(closed ? static_cast<int>(st.st_mode & 07777) : -1);
    }
    void leave(int dir_fd, const std::string& name) {
        const int mode = modes_.back();
        modes_.pop_back();
        // A directory that cannot be closed again stays open to its owner: nothing is lost.
        if (mode >= 0 && ::fchmodat(dir_fd, name.c_str(), static_cast<mode_t>(mode), 0) != 0) {
            return;
        }
    }
    // The mode a directory gets back (the set-id bits taken off meanwhile stay off).
    void drop_set_id() {
        if (!modes_.empty() && modes_.back() >= 0) {
            modes_.back() &= ~static_cast<int>(kSetId);
        }
    }

private:
    std::vector<int> modes_;
};

}  // namespace

void remove_contents(int dir_fd, const std::string& shown) {
    OpenedUp opened;
    walk_tree(
        dir_fd, shown,
        [&](int dir, const std::string& name, const struct stat& st) {
            if (S_ISDIR(st.st_mode)) {
                opened.enter(dir, name, st);
                return true;
            }
            if (::unlinkat(dir, name.c_str(), 0) != 0) {
                fail_errno(shown + "/.../" + printable(name), "removing");
            }
            return false;
        },
        [&](int dir, const std::string& name) {
            opened.leave(dir, name);
            if (::unlinkat(dir, name.c_str(), AT_REMOVEDIR) != 0) {
                fail_errno(shown + "/.../" + printable(name), "removing");
            }
        });
}

void clear_set_id_bits(int dir_fd, const std::string& shown) {
    struct stat st {};
    if (::fstat(dir_fd, &st) != 0) {
        fail_errno(shown);
    }
    if ((st.st_mode & kSetId) != 0 && ::fchmod(dir_fd, st.st_mode & 07777 & ~kSetId) != 0) {
        fail_errno(shown, "chmod");
    }
    OpenedUp opened;
    walk_tree(
        dir_fd, shown,
        [&](int dir, const std::string& name, const struct stat& entry) {
            if (S_ISLNK(entry.st_mode)) {
                return false;
            }
            if (S_ISDIR(entry.st_mode)) {
                opened.enter(dir, name, entry);
            }
            if ((entry.st_mode & kSetId) != 0) {
                if (::fchmodat(dir, name.c_str(), entry.st_mode & 07777 & ~kSetId, 0) != 0) {
                    fail_errno(shown + "/.../" + printable(name), "chmod");
                }
                if (S_ISDIR(entry.st_mode)) {
                    opened.drop_set_id();
                }
            }
            return S_ISDIR(entry.st_mode);
        },
        [&](int dir, const std::string& name) { opened.leave(dir, name); });
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
