#include "board.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "archive.hpp"
#include "common/files.hpp"
#include "uboot_env.hpp"

namespace mpboard {
namespace fs = std::filesystem;

void fail(const std::string& message) {
    throw Failure(EXIT_FAILED, message);
}

void usage_fail(const std::string& message) {
    throw Failure(EXIT_USAGE, message);
}

void fail_errno(const std::string& path, const std::string& what) {
    const std::string reason = std::strerror(errno);
    fail(path + ": " + (what.empty() ? "" : what + ": ") + reason);
}

namespace {

using Fd = host_tools::UniqueFd;

void write_all(int fd, std::span<const std::uint8_t> bytes, const std::string& path) {
    const host_tools::Transfer t = host_tools::write_all(fd, bytes);
    if (!t.ok()) {
        errno = t.error;
        fail_errno(path, "write");
    }
}

std::vector<std::uint8_t> read_all(int fd, const std::string& path) {
    std::vector<std::uint8_t> out;
    const host_tools::Transfer t = host_tools::read_to_end(fd, out);
    if (!t.ok()) {
        errno = t.error;
        fail_errno(path, "read");
    }
    return out;
}

// Writes `bytes` as `name` in the directory `dir_fd`: a temporary file, synced, renamed over
// the name (which replaces a symbolic link there instead of following it).
void write_atomic_at(int dir_fd, const std::string& name, std::span<const std::uint8_t> bytes,
                     unsigned mode, const std::string& shown) {
    const std::string temp = name + ".mpboard-new";
    ::unlinkat(dir_fd, temp.c_str(), 0);
    Fd fd(
        ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.get() < 0) {
        fail_errno(shown);
    }
    try {
        write_all(fd.get(), bytes, shown);
        if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0) {
            fail_errno(shown);
        }
        if (::close(fd.release()) != 0) {
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

std::pair<std::string, std::string> split_parent(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {".", std::string(path)};
    }
    return {slash == 0 ? std::string("/") : std::string(path.substr(0, slash)),
            std::string(path.substr(slash + 1))};
}

// Removes what the directory `dir_fd` holds, never following a symbolic link.
void remove_contents(int dir_fd, const std::string& shown) {
    const int listing_fd = ::dup(dir_fd);
    DIR* dir = listing_fd < 0 ? nullptr : ::fdopendir(listing_fd);
    if (dir == nullptr) {
        if (listing_fd >= 0) {
            ::close(listing_fd);
        }
        fail_errno(shown);
    }
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") {
            names.emplace_back(n);
        }
    }
    ::closedir(dir);
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        std::string entry = shown;
        entry += '/';
        entry += name;
        if (S_ISDIR(st.st_mode)) {
            const Fd sub(
                ::openat(dir_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (sub.get() < 0) {
                fail_errno(entry);
            }
            remove_contents(sub.get(), entry);
        }
        if (::unlinkat(dir_fd, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
            fail_errno(entry, "removing");
        }
    }
}

// Applets of the board's BusyBox. mount, umount, reboot, halt and poweroff are the board's own
// stand-ins instead, so that nothing in a board can even try them.
constexpr const char* BIN_APPLETS[] = {
    "sh",    "ash",   "tar",     "gunzip",   "gzip",  "zcat",   "rm",    "mkdir",  "mv",
    "cp",    "chmod", "tftp",    "ifconfig", "route", "ip",     "sleep", "usleep", "cat",
    "echo",  "ls",    "sync",    "date",     "env",   "printf", "test",  "[",      "true",
    "false", "grep",  "sed",     "head",     "tail",  "touch",  "ln",    "pwd",    "wc",
    "dd",    "od",    "hexdump", "xxd",      "ps",    "kill",   "stat",  "cmp",    "md5sum",
    "cut",   "tr",    "awk",     "xargs",    "uname", "id",     "stty",  "tty",    "find",
    "sort",  "which", "timeout", "rmdir",
};

}  // namespace

// ---- Files of the workstation
// --------------------------------------------------------------------

std::vector<std::uint8_t> read_file(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        fail_errno(path);
    }
    return read_all(fd.get(), path);
}

void write_text_atomic(const std::string& path, std::string_view text, unsigned mode) {
    const auto [parent, name] = split_parent(path);
    const Fd dir(::open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0) {
        fail_errno(parent);
    }
    write_atomic_at(dir.get(), name,
                    std::span<const std::uint8_t>(
                        reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                    mode, path);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

void make_dirs(const std::string& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec) {
        fail(path + ": " + ec.message());
    }
}

const Partition* partition_by_name(std::string_view name) {
    for (const Partition& p : PARTITIONS) {
        if (name == p.name) {
            return &p;
        }
    }
    return nullptr;
}

// ---- Board
// ----------------------------------------------------------------------------------------

struct Board::Parent {
    Fd fd;
    std::string name;
};

Board::Board(std::string dir, int root_fd)
    : dir_(std::move(dir)), root_(new int(root_fd), [](const int* fd) {
          ::close(*fd);
          delete fd;
      }) {}

Board Board::make(const std::string& dir) {
    mpboard::make_dirs(dir);
    const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail_errno(dir);
    }
    return Board(dir, fd);
}

Board Board::open(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail_errno(dir);
    }
    Board board(dir, fd);
    if (!board.exists("etc/board.conf")) {
        fail(dir + ": not a sandbox board (no etc/board.conf; make one with mpboard create)");
    }
    return board;
}

std::string Board::path(std::string_view relative) const {
    return dir_ + "/" + std::string(relative);
}

int Board::open_in(std::string_view relative, int flags, unsigned mode) const {
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags) | O_CLOEXEC;
    how.mode = (flags & O_CREAT) != 0 ? mode : 0;
    how.resolve = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;
    const std::string rel(relative);
    for (;;) {
        const long fd = ::syscall(SYS_openat2, *root_, rel.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN) {
            return static_cast<int>(fd);
        }
    }
}

Board::Parent Board::parent_of(std::string_view relative) const {
    auto [parent, name] = split_parent(relative);
    Fd fd(open_in(parent, O_PATH | O_DIRECTORY));
    if (fd.get() < 0) {
        fail_errno(path(parent));
    }
    return {std::move(fd), std::move(name)};
}

std::vector<std::uint8_t> Board::read(std::string_view relative) const {
    const Fd fd(open_in(relative, O_RDONLY | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        fail_errno(path(relative));
    }
    if (!S_ISREG(st.st_mode)) {
        fail(path(relative) + ": not a regular file");
    }
    return read_all(fd.get(), path(relative));
}

std::string Board::read_text(std::string_view relative) const {
    const auto bytes = read(relative);
    return {bytes.begin(), bytes.end()};
}

bool Board::exists(std::string_view relative) const {
    const Fd fd(open_in(relative, O_PATH | O_NOFOLLOW));
    return fd.get() >= 0;
}

void Board::write(std::string_view relative, std::span<const std::uint8_t> bytes,
                  unsigned mode) const {
    const Parent p = parent_of(relative);
    write_atomic_at(p.fd.get(), p.name, bytes, mode, path(relative));
}

void Board::write_text(std::string_view relative, std::string_view text, unsigned mode) const {
    write(relative,
          std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                        text.size()),
          mode);
}

void Board::make_dirs(std::string_view relative) const {
    std::size_t end = 0;
    while (end != std::string_view::npos) {
        end = relative.find('/', end + 1);
        const std::string_view prefix = relative.substr(0, end);
        if (prefix.empty()) {
            continue;
        }
        const Fd fd(open_in(prefix, O_PATH | O_DIRECTORY));
        if (fd.get() >= 0) {
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
    const Fd fd(open_in(relative, O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
    if (fd.get() < 0) {
        if (errno == ELOOP) {
            fail(path(relative) + ": is a symbolic link; it must be the board's own directory");
        }
        fail_errno(path(relative));
    }
    remove_contents(fd.get(), path(relative));
}

std::string Board::eeprom_file() const {
    std::string conf;
    if (exists("etc/board.conf")) {
        conf = read_text("etc/board.conf");
    }
    std::string file = conf_value(conf, "i2c.eeprom").value_or("var/vpd.bin");
    file.erase(0, file.find_first_not_of('/'));
    if (file.empty()) {
        fail(path("etc/board.conf") + ": i2c.eeprom names no file");
    }
    return file;
}

std::string Board::slot_file(int slot) const {
    return "user/images/image" + std::to_string(slot);
}

std::vector<std::uint8_t> Board::read_partition(const Partition& p) const {
    return read(p.file);
}

void Board::write_partition(const Partition& p, std::span<const std::uint8_t> bytes) const {
    const std::size_t size = read(p.file).size();
    if (bytes.size() > size) {
        fail(path(p.file) + ": " + std::to_string(bytes.size()) + " bytes do not fit into the " +
             std::to_string(size) + "-byte " + p.name + " partition");
    }
    std::vector<std::uint8_t> image(size, 0xFF);
    std::copy(bytes.begin(), bytes.end(), image.begin());
    write(p.file, image);
}

std::vector<std::uint8_t> Board::read_vpd() const {
    const std::string file = eeprom_file();
    std::vector<std::uint8_t> vpd(256, 0xFF);
    if (!exists(file)) {
        return vpd;
    }
    const auto bytes = read(file);
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), vpd.size()), vpd.begin());
    return vpd;
}

void Board::write_vpd(std::span<const std::uint8_t> bytes) const {
    const std::string file = eeprom_file();
    make_dirs(split_parent(file).first);
    write(file, bytes);
}

// ---- board.conf -------------------------------------------------------------------------------

const std::vector<ConfKey> CONF_KEYS = {
    {"mtd.erase_size", "131072", "erase block of every partition, bytes"},
    {"mtd.strict", "0", "1: a write that needs a bit to go from 0 to 1 fails"},
    {"fault.mtd.absent", "0", "1: no flash at all"},
    {"fault.mtd.meminfo", "0", "1: MEMGETINFO fails"},
    {"fault.mtd.size0", "0", "1: MEMGETINFO reports size 0"},
    {"fault.mtd.erase", "none", "PART:SECTOR whose erase fails"},
    {"fault.mtd.write", "none", "PART:SECTOR whose write fails"},
    {"fault.mtd.read", "none", "PART:SECTOR whose read fails"},
    {"i2c.eeprom", "var/vpd.bin", "board file holding the VPD EEPROM's 256 bytes"},
    {"fault.i2c.missing", "0", "1: I2C adapter 0 is absent"},
    {"fault.i2c.nak", "none", "read, write or all: the EEPROM NAKs them"},
    {"fault.cpld.stuck", "0", "1: the CPLD gate never reports a finished switch"},
    {"clock.scale", "1", "factor applied to every pause; 0 makes them instant"},
    {"power.cut_after_writes", "0", "N > 0: the power fails at the N-th flash write or erase"},
    {"power.cut_partial", "50", "percent of the cut operation that reaches the flash"},
};

const ConfKey* conf_key(std::string_view key) {
    for (const ConfKey& k : CONF_KEYS) {
        if (key == k.key) {
            return &k;
        }
    }
    return nullptr;
}

namespace {

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The key a board.conf line sets, or empty for comments, blank and malformed lines.
std::string_view line_key(std::string_view line, std::string_view* value = nullptr) {
    line = line.substr(0, line.find('#'));
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
        return {};
    }
    if (value != nullptr) {
        *value = trim(line.substr(eq + 1));
    }
    return trim(line.substr(0, eq));
}

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        lines.push_back(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    }
    return lines;
}

}  // namespace

std::optional<std::string> conf_value(std::string_view conf_text, std::string_view key) {
    std::optional<std::string> found;
    for (const std::string_view line : lines_of(conf_text)) {
        std::string_view value;
        if (line_key(line, &value) == key) {
            found = std::string(value);
        }
    }
    return found;
}

std::string conf_with(std::string_view conf_text, std::string_view key, std::string_view value) {
    std::string out;
    bool placed = false;
    for (const std::string_view line : lines_of(conf_text)) {
        if (line_key(line) == key) {
            if (!placed && !value.empty()) {
                out += std::string(key) + " = " + std::string(value) + "\n";
            }
            placed = true;
            continue;
        }
        out += std::string(line) + "\n";
    }
    if (!placed && !value.empty()) {
        out += std::string(key) + " = " + std::string(value) + "\n";
    }
    return out;
}

std::string default_conf_text() {
    std::ostringstream out;
    out << "# Sandbox board configuration: key = value, '#' starts a comment.\n"
           "# mpboard conf DIR KEY=VALUE changes a key; KEY= puts it back to its default.\n"
           "# Keys left out take their defaults (shown commented out below).\n"
           "clock.scale = 1\n"
           "mtd.erase_size = 131072\n";
    for (const ConfKey& k : CONF_KEYS) {
        const std::string_view key = k.key;
        if (key == "clock.scale" || key == "mtd.erase_size") {
            continue;
        }
        out << "# " << k.key << " = " << k.fallback << "    (" << k.meaning << ")\n";
    }
    return out.str();
}

// ---- create ------------------------------------------------------------------------------------

void create_board(const std::string& dir, const CreateOptions& options) {
    std::error_code ec;
    if (fs::exists(dir, ec)) {
        if (!fs::is_directory(dir, ec)) {
            fail(dir + ": exists and is not a directory");
        }
        const bool empty = fs::is_empty(dir, ec);
        if (!empty && !options.force) {
            fail(dir + ": exists and is not empty (--force remakes a board there)");
        }
        if (!empty && !fs::exists(dir + "/etc/board.conf", ec)) {
            // --force only ever remakes a board: a directory of anything else stays untouched.
            fail(dir + ": is not a sandbox board; refusing to remake it");
        }
    }
    if (!exists(options.busybox)) {
        fail(options.busybox + ": no BusyBox there (scripts/test builds it; --busybox or " +
             "MP_BUSYBOX names another)");
    }
    const Board b = Board::make(dir);
    for (const char* sub : {"bin", "usr/bin", "sbin", "lib", "usr/lib/mpboard", "dev/lamel", "etc",
                            "var/log", "user", "tmp", "root", "proc", "run"}) {
        b.make_dirs(sub);
    }
    // A remade board starts like a new one: persistent and RAM filesystems empty.
    b.empty_dir("user");
    b.empty_dir("tmp");

    // A copy, never a hard link: the board's root may write to its own files, and must not
    // reach the workstation's BusyBox through them.
    b.copy_in(options.busybox, "bin/busybox");
    for (const char* applet : BIN_APPLETS) {
        b.symlink("busybox", std::string("bin/") + applet);
    }
    b.symlink("../../bin/busybox", "usr/bin/rx");

    for (const StandIn& s : STANDINS) {
        const std::string name = s.name;
        // The debugger comes to a board in a package; its stand-in waits in usr/lib/mpboard.
        const std::string where = name == "gdb" ? "usr/lib/mpboard/gdb" : "bin/" + name;
        b.write_text(where, s.text, 0755);
    }
    // Only named in LD_PRELOAD; the board's programs are static or scripts and do not load it.
    b.write_text("lib/libduma.so.0.0.0",
                 "sandbox board: stand-in for the DUMA memory-checking library\n");

    for (const Partition& p : PARTITIONS) {
        b.write(p.file, std::vector<std::uint8_t>(p.size, 0xFF));
    }
    b.write_text("dev/i2c-0", "");
    b.write_text("dev/i2c-1", "");
    b.write("dev/lamel/cpld_mmmap", std::vector<std::uint8_t>(32, 0));
    b.write_text("etc/board.conf", default_conf_text());
    b.write_text("var/log/board.log", "");

    std::vector<std::uint8_t> vpd(256, 0xFF);
    if (options.demo) {
        vpd[1] = 1;
        b.make_dirs("user/images");
        b.write(b.slot_file(1), demo_application(DEMO_SLOT1_VERSION));
        b.write(b.slot_file(2), demo_application(DEMO_SLOT2_VERSION));
        b.write_partition(*partition_by_name("rescue"), demo_diagnostics(DEMO_DIAGS_VERSION));
    }
    b.write_vpd(vpd);
}

}  // namespace mpboard
