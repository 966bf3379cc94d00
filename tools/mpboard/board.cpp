#include "board.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/io.hpp"
#include "files.hpp"
#include "platform/sandbox/board_description.hpp"

namespace mpboard {

struct Board::Parent {
    base::UniqueFd fd;
    std::string name;
};

Board::Board(std::string dir, base::UniqueFd root)
    : dir_(std::move(dir)), root_(std::make_shared<const base::UniqueFd>(std::move(root))) {}

Board Board::make(const std::string& dir) {
    mpboard::make_dirs(dir);
    base::UniqueFd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        fail_errno(dir);
    }
    return Board(dir, std::move(fd));
}

Board Board::open(const std::string& dir) {
    // A symbolic link is followed here, once: from now on the board is this descriptor.
    base::UniqueFd fd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        fail_errno(dir);
    }
    Board board(dir, std::move(fd));
    if (!board.exists("etc/board.conf")) {
        fail(dir + ": not a sandbox board (no etc/board.conf; make one with mpboard create)");
    }
    // A run that ended where mpboard could not tidy up (kill -9, a crash) may have left them.
    board.clear_set_id_bits();
    return board;
}

void Board::make_private() const {
    struct stat st {};
    if (::fstat(root_->get(), &st) != 0) {
        fail_errno(dir_);
    }
    if (st.st_uid != ::geteuid()) {
        fail(dir_ + ": belongs to another account (uid " + std::to_string(st.st_uid) +
             "); a board runs as the account that owns it");
    }
    // Through the descriptor: the name may lead elsewhere by now.
    const std::string self = "/proc/self/fd/" + std::to_string(root_->get());
    if ((st.st_mode & 07777) != 0700 && ::chmod(self.c_str(), 0700) != 0) {
        fail_errno(dir_, "chmod");
    }
}

std::string Board::path(std::string_view relative) const {
    return dir_ + "/" + std::string(relative);
}

base::UniqueFd Board::open_in(std::string_view relative, int flags, unsigned mode) const {
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags) | O_CLOEXEC;
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const std::string rel(relative);
    for (;;) {
        const long fd = ::syscall(SYS_openat2, root_->get(), rel.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN) {
            return base::UniqueFd(static_cast<int>(fd));
        }
    }
}

Board::Parent Board::parent_of(std::string_view relative) const {
    auto [parent, name] = split_parent(relative);
    base::UniqueFd fd = open_in(parent, O_PATH | O_DIRECTORY);
    if (!fd) {
        fail_errno(path(parent));
    }
    return {std::move(fd), std::move(name)};
}

base::UniqueFd Board::open_regular(std::string_view relative, struct stat& st) const {
    base::UniqueFd fd = open_in(relative, O_RDONLY | O_NONBLOCK);
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        fail_errno(path(relative));
    }
    if (!S_ISREG(st.st_mode)) {
        fail(path(relative) + ": not a regular file");
    }
    return fd;
}

std::vector<std::uint8_t> Board::read(std::string_view relative, std::size_t max) const {
    struct stat st {};
    const base::UniqueFd fd = open_regular(relative, st);
    if (static_cast<std::uint64_t>(st.st_size) > max) {
        fail(path(relative) + ": " + std::to_string(st.st_size) + " bytes, more than the " +
             std::to_string(max) + " mpboard reads of it");
    }
    return read_all(fd.get(), path(relative));
}

std::string Board::read_text(std::string_view relative) const {
    const auto bytes = read(relative);
    return {bytes.begin(), bytes.end()};
}

bool Board::exists(std::string_view relative) const {
    return static_cast<bool>(open_in(relative, O_PATH | O_NOFOLLOW));
}

void Board::write(std::string_view relative, std::span<const std::uint8_t> bytes,
                  unsigned mode) const {
    const Parent p = parent_of(relative);
    write_atomic_at(p.fd.get(), p.name, bytes, mode, path(relative));
}

void Board::write_text(std::string_view relative, std::string_view text, unsigned mode) const {
    write(relative, bytes_of(text), mode);
}

void Board::make_dirs(std::string_view relative) const {
    std::size_t end = 0;
    while (end != std::string_view::npos) {
        end = relative.find('/', end + 1);
        const std::string_view prefix = relative.substr(0, end);
        if (prefix.empty() || open_in(prefix, O_PATH | O_DIRECTORY)) {
            continue;
        }
        if (errno != ENOENT) {
            fail_errno(path(prefix));
        }
        const Parent p = parent_of(prefix);
        if (::mkdirat(p.fd.get(), p.name.c_str(), 0755) != 0 && errno != EEXIST) {
            fail_errno(path(prefix));
        }
    }
}

void Board::remove(std::string_view relative) const {
    const Parent p = parent_of(relative);
    if (::unlinkat(p.fd.get(), p.name.c_str(), 0) != 0 && errno != ENOENT) {
        fail_errno(path(relative), "removing");
    }
}

void Board::symlink(const std::string& target, std::string_view relative) const {
    const Parent p = parent_of(relative);
    ::unlinkat(p.fd.get(), p.name.c_str(), 0);
    if (::symlinkat(target.c_str(), p.fd.get(), p.name.c_str()) != 0) {
        fail_errno(path(relative), "symlink");
    }
}

void Board::copy_in(const std::string& source, std::string_view relative) const {
    struct stat src {};
    if (::stat(source.c_str(), &src) != 0) {
        fail_errno(source);
    }
    make_dirs(split_parent(relative).first);
    const Parent p = parent_of(relative);
    struct stat dst {};
    if (::fstatat(p.fd.get(), p.name.c_str(), &dst, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(dst.st_mode) && dst.st_size == src.st_size &&
        dst.st_mtim.tv_sec == src.st_mtim.tv_sec && dst.st_mtim.tv_nsec == src.st_mtim.tv_nsec) {
        return;
    }
    write_atomic_at(p.fd.get(), p.name, read_file(source), src.st_mode & 07777, path(relative));
    const struct timespec times[2] = {src.st_atim, src.st_mtim};
    if (::utimensat(p.fd.get(), p.name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        fail_errno(path(relative), "setting its time");
    }
}

void Board::empty_dir(std::string_view relative) const {
    const base::UniqueFd fd = open_in(relative, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!fd) {
        if (errno == ELOOP) {
            fail(path(relative) + ": is a symbolic link; it must be the board's own directory");
        }
        fail_errno(path(relative));
    }
    remove_contents(fd.get(), path(relative));
}

void Board::clear_set_id_bits() const {
    const base::UniqueFd fd = open_in(".", O_RDONLY | O_DIRECTORY);
    if (!fd) {
        fail_errno(dir_);
    }
    mpboard::clear_set_id_bits(fd.get(), dir_);
}

std::string Board::eeprom_file() const {
    const std::string conf = exists("etc/board.conf") ? read_text("etc/board.conf") : "";
    return platform::sandbox::read_conf(conf).eeprom;
}

std::string Board::slot_file(int slot) const {
    return "user/images/image" + std::to_string(slot);
}

std::vector<std::uint8_t> Board::read_partition(const base::Partition& p) const {
    return read(platform::sandbox::board_file(p));
}

void Board::write_partition(const base::Partition& p, std::span<const std::uint8_t> bytes) const {
    const std::string_view file = platform::sandbox::board_file(p);
    const std::size_t size = read(file).size();
    if (bytes.size() > size) {
        fail(path(file) + ": " + std::to_string(bytes.size()) + " bytes do not fit into the " +
             std::to_string(size) + "-byte " + p.name + " partition");
    }
    std::vector<std::uint8_t> image(size, 0xFF);
    std::copy(bytes.begin(), bytes.end(), image.begin());
    write(file, image);
}

std::vector<std::uint8_t> Board::read_vpd() const {
    const std::string file = eeprom_file();
    std::vector<std::uint8_t> vpd(256, 0xFF);
    if (!exists(file)) {
        return vpd;
    }
    // The EEPROM's size and no more, whatever the file has grown to.
    struct stat st {};
    const base::UniqueFd fd = open_regular(file, st);
    const base::Transfer t = base::read_full(fd.get(), vpd, 0);
    if (!t.ok()) {
        errno = t.error;
        fail_errno(path(file), "read");
    }
    return vpd;
}

void Board::write_vpd(std::span<const std::uint8_t> bytes) const {
    const std::string file = eeprom_file();
    make_dirs(split_parent(file).first);
    write(file, bytes);
}

}  // namespace mpboard
