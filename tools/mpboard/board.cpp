#include "board.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "archive.hpp"
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

class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

void write_all(int fd, std::span<const std::uint8_t> bytes, const std::string& path) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_errno(path, "write");
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

std::string parent_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

// Removes what a directory holds, never following a symbolic link out of it.
void empty_dir(const std::string& dir) {
    std::error_code ec;
    if (fs::is_symlink(dir, ec)) {
        fail(dir + ": is a symbolic link; a board's directories must be its own");
    }
    if (!fs::is_directory(dir, ec)) {
        return;
    }
    for (const auto& entry : fs::directory_iterator(dir)) {
        fs::remove_all(entry.path(), ec);
        if (ec) {
            fail(entry.path().string() + ": " + ec.message());
        }
    }
}

void symlink_fresh(const std::string& target, const std::string& link) {
    ::unlink(link.c_str());
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        fail_errno(link, "symlink");
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

std::vector<std::uint8_t> read_file(const std::string& path) {
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        fail_errno(path);
    }
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_errno(path, "read");
        }
        if (n == 0) {
            return out;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
}

std::string read_text(const std::string& path) {
    const auto bytes = read_file(path);
    return {bytes.begin(), bytes.end()};
}

void write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes,
                       unsigned mode) {
    const std::string temp = path + ".mpboard-new";
    Fd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.get() < 0) {
        fail_errno(temp);
    }
    try {
        write_all(fd.get(), bytes, temp);
        if (::fchmod(fd.get(), mode) != 0 || ::fsync(fd.get()) != 0) {
            fail_errno(temp);
        }
        if (::close(fd.release()) != 0) {
            fail_errno(temp, "close");
        }
        if (::rename(temp.c_str(), path.c_str()) != 0) {
            fail_errno(path, "rename");
        }
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
}

void write_text_atomic(const std::string& path, std::string_view text, unsigned mode) {
    write_file_atomic(path,
                      std::span<const std::uint8_t>(
                          reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                      mode);
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

void copy_if_changed(const std::string& source, const std::string& target) {
    struct stat src {};
    if (::stat(source.c_str(), &src) != 0) {
        fail_errno(source);
    }
    struct stat dst {};
    if (::lstat(target.c_str(), &dst) == 0 && S_ISREG(dst.st_mode) && dst.st_size == src.st_size &&
        dst.st_mtim.tv_sec == src.st_mtim.tv_sec && dst.st_mtim.tv_nsec == src.st_mtim.tv_nsec) {
        return;
    }
    make_dirs(parent_of(target));
    write_file_atomic(target, read_file(source), src.st_mode & 07777);
    const struct timespec times[2] = {src.st_atim, src.st_mtim};
    if (::utimensat(AT_FDCWD, target.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        fail_errno(target, "setting its time");
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

Board Board::open(const std::string& dir) {
    Board board(dir);
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        fail_errno(dir);
    }
    if (!S_ISDIR(st.st_mode)) {
        fail(dir + ": not a directory");
    }
    if (!exists(board.path("etc/board.conf"))) {
        fail(dir + ": not a sandbox board (no etc/board.conf; make one with mpboard create)");
    }
    return board;
}

std::string Board::path(std::string_view relative) const {
    return dir_ + "/" + std::string(relative);
}

std::string Board::eeprom_path() const {
    std::string conf;
    if (exists(path("etc/board.conf"))) {
        conf = read_text(path("etc/board.conf"));
    }
    std::string file = conf_value(conf, "i2c.eeprom").value_or("var/vpd.bin");
    file.erase(0, file.find_first_not_of('/'));
    if (file.empty() || file == ".." || file.starts_with("../") ||
        file.find("/../") != std::string::npos || file.ends_with("/..")) {
        fail(path("etc/board.conf") + ": i2c.eeprom must name a file inside the board");
    }
    return path(file);
}

std::string Board::slot_path(int slot) const {
    return path("user/images/image" + std::to_string(slot));
}

std::vector<std::uint8_t> Board::read_partition(const Partition& p) const {
    return read_file(partition_path(p));
}

void Board::write_partition(const Partition& p, std::span<const std::uint8_t> bytes) const {
    const std::string file = partition_path(p);
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) {
        fail_errno(file);
    }
    const auto size = static_cast<std::size_t>(st.st_size);
    if (bytes.size() > size) {
        fail(file + ": " + std::to_string(bytes.size()) + " bytes do not fit into the " +
             std::to_string(size) + "-byte " + p.name + " partition");
    }
    std::vector<std::uint8_t> image(size, 0xFF);
    std::copy(bytes.begin(), bytes.end(), image.begin());
    write_file_atomic(file, image);
}

std::vector<std::uint8_t> Board::read_vpd() const {
    const std::string file = eeprom_path();
    std::vector<std::uint8_t> vpd(256, 0xFF);
    if (!exists(file)) {
        return vpd;
    }
    const auto bytes = read_file(file);
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), vpd.size()), vpd.begin());
    return vpd;
}

void Board::write_vpd(std::span<const std::uint8_t> bytes) const {
    const std::string file = eeprom_path();
    make_dirs(parent_of(file));
    write_file_atomic(file, bytes);
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
        const bool board = exists(dir + "/etc/board.conf");
        if (!empty && !options.force) {
            fail(dir + ": exists and is not empty (--force remakes a board there)");
        }
        if (!empty && !board) {
            // --force only ever remakes a board: a directory of anything else stays untouched.
            fail(dir + ": is not a sandbox board; refusing to remake it");
        }
    }
    const Board b(dir);
    for (const char* sub : {"bin", "usr/bin", "sbin", "lib", "usr/lib/mpboard", "dev/lamel", "etc",
                            "var/log", "user", "tmp", "root", "proc", "run"}) {
        make_dirs(b.path(sub));
    }
    // A remade board starts like a new one: persistent and RAM filesystems empty.
    empty_dir(b.path("user"));
    empty_dir(b.path("tmp"));

    // BusyBox: a hard link when the board lies on the same filesystem, else a copy.
    const std::string busybox = b.path("bin/busybox");
    ::unlink(busybox.c_str());
    if (::link(options.busybox.c_str(), busybox.c_str()) != 0) {
        if (!exists(options.busybox)) {
            fail(options.busybox + ": no BusyBox there (scripts/test builds it; --busybox or " +
                 "MP_BUSYBOX names another)");
        }
        copy_if_changed(options.busybox, busybox);
    }
    for (const char* applet : BIN_APPLETS) {
        symlink_fresh("busybox", b.path(std::string("bin/") + applet));
    }
    symlink_fresh("../../bin/busybox", b.path("usr/bin/rx"));

    for (const StandIn& s : STANDINS) {
        const std::string name = s.name;
        // The debugger comes to a board in a package; its stand-in waits in usr/lib/mpboard.
        const std::string where = name == "gdb" ? "usr/lib/mpboard/gdb" : "bin/" + name;
        write_text_atomic(b.path(where), s.text, 0755);
    }
    // Only named in LD_PRELOAD; the board's programs are static or scripts and do not load it.
    write_text_atomic(b.path("lib/libduma.so.0.0.0"),
                      "sandbox board: stand-in for the DUMA memory-checking library\n");

    for (const Partition& p : PARTITIONS) {
        write_file_atomic(b.partition_path(p), std::vector<std::uint8_t>(p.size, 0xFF));
    }
    write_text_atomic(b.path("dev/i2c-0"), "");
    write_text_atomic(b.path("dev/i2c-1"), "");
    write_file_atomic(b.path("dev/lamel/cpld_mmmap"), std::vector<std::uint8_t>(32, 0));
    write_text_atomic(b.path("etc/board.conf"), default_conf_text());
    write_text_atomic(b.path("var/log/board.log"), "");

    std::vector<std::uint8_t> vpd(256, 0xFF);
    if (options.demo) {
        vpd[1] = 1;
        make_dirs(b.path("user/images"));
        write_file_atomic(b.slot_path(1), demo_application(DEMO_SLOT1_VERSION));
        write_file_atomic(b.slot_path(2), demo_application(DEMO_SLOT2_VERSION));
        b.write_partition(*partition_by_name("rescue"), demo_diagnostics(DEMO_DIAGS_VERSION));
    }
    b.write_vpd(vpd);
}

}  // namespace mpboard
