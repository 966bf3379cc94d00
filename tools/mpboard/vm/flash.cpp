#include "vm/flash.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "files.hpp"
#include "platform/sandbox/board_description.hpp"

namespace mpboard {

namespace {

void write_at(int fd, const std::uint8_t* data, std::uint64_t size, std::uint64_t offset,
              const std::string& shown) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) {
            fail_errno(shown, "writing");
        }
        data += n;
        size -= static_cast<std::uint64_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

std::vector<std::uint8_t> read_at(int fd, std::uint64_t size, std::uint64_t offset,
                                  const std::string& shown) {
    std::vector<std::uint8_t> bytes(size);
    std::uint64_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            fail_errno(shown, "reading");
        }
        done += static_cast<std::uint64_t>(n);
    }
    return bytes;
}

// The last bytes of the state block once the machine has copied user/ onto /user's flash: one
// mark for each machine, as its init writes it (mp_mark on its command line).
constexpr char USER_IN_MARK[] = "mpboard user in\n";      // x86-64, little-endian jffs2
constexpr char USER_IN_MARK_PPC[] = "mpboard user be\n";  // powerpc, big-endian jffs2
constexpr std::size_t MARK_SIZE = sizeof USER_IN_MARK - 1;
static_assert(sizeof USER_IN_MARK_PPC == sizeof USER_IN_MARK);
// The VPD EEPROM's bytes: the start of a region of their own just below the state block, which
// the machine's mpboard_i2c module maps (the kernel's command line says where) and writes a byte
// at a time as the EEPROM takes them. The region's last bytes say that the board's VPD file was
// copied in: a flash an earlier mpboard left without them gets the file's bytes when it boots.
constexpr std::uint64_t VPD_REGION = 4096;
constexpr std::size_t VPD_SIZE = 256;
constexpr char VPD_IN_MARK[] = "mpboard vpd in\n";
constexpr std::size_t VPD_MARK_SIZE = sizeof VPD_IN_MARK - 1;

bool vpd_marked(int fd, std::uint64_t region) {
    char mark[VPD_MARK_SIZE] = {};
    return ::pread(fd, mark, VPD_MARK_SIZE,
                   static_cast<off_t>(region + VPD_REGION - VPD_MARK_SIZE)) ==
               static_cast<ssize_t>(VPD_MARK_SIZE) &&
           std::memcmp(mark, VPD_IN_MARK, VPD_MARK_SIZE) == 0;
}

void put_vpd(int fd, std::uint64_t region, std::span<const std::uint8_t> vpd,
             const std::string& shown) {
    write_at(fd, vpd.data(), std::min(vpd.size(), VPD_SIZE), region, shown);
    write_at(fd, reinterpret_cast<const std::uint8_t*>(VPD_IN_MARK), VPD_MARK_SIZE,
             region + VPD_REGION - VPD_MARK_SIZE, shown);
}

// Where the handed-out user/ is unpacked before it replaces user/.
constexpr const char* UNPACKED = "run/vm-user";

// The machine whose mark the file's state block holds, if any.
std::optional<VmArch> user_in_marked(int fd) {
    struct stat st {};
    char mark[MARK_SIZE] = {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < static_cast<off_t>(MARK_SIZE) ||
        ::pread(fd, mark, MARK_SIZE, st.st_size - static_cast<off_t>(MARK_SIZE)) !=
            static_cast<ssize_t>(MARK_SIZE)) {
        return std::nullopt;
    }
    if (std::memcmp(mark, USER_IN_MARK, MARK_SIZE) == 0) {
        return VmArch::x86_64;
    }
    if (std::memcmp(mark, USER_IN_MARK_PPC, MARK_SIZE) == 0) {
        return VmArch::ppc;
    }
    return std::nullopt;
}

// The gzip stream at the start of the way out, inflated a window at a time.
class Inflow {
public:
    Inflow(int fd, std::uint64_t offset, std::uint64_t size, std::uint64_t limit)
        : fd_(fd), at_(offset), end_(offset + size), limit_(limit) {
        ok_ = ::inflateInit2(&z_, 16 + MAX_WBITS) == Z_OK;
    }
    Inflow(const Inflow&) = delete;
    Inflow& operator=(const Inflow&) = delete;
    ~Inflow() { ::inflateEnd(&z_); }

    // Exactly `n` bytes into `to` (nullptr: passed over); false when the stream ends first, is
    // damaged or inflates to more than the limit (over()).
    bool over() const noexcept { return produced_ > limit_; }
    bool read(std::uint8_t* to, std::uint64_t n) {
        while (n > 0) {
            if (pos_ == len_ && !more()) {
                return false;
            }
            const std::size_t part = std::min<std::uint64_t>(n, len_ - pos_);
            if (to != nullptr) {
                std::memcpy(to, out_.data() + pos_, part);
                to += part;
            }
            pos_ += part;
            n -= part;
        }
        return true;
    }

private:
    bool more() {
        while (ok_ && !ended_ && !over()) {
            if (z_.avail_in == 0) {
                const std::uint64_t want = std::min<std::uint64_t>(in_.size(), end_ - at_);
                const ssize_t got =
                    want == 0 ? 0 : ::pread(fd_, in_.data(), want, static_cast<off_t>(at_));
                if (got <= 0) {
                    return false;
                }
                at_ += static_cast<std::uint64_t>(got);
                z_.next_in = in_.data();
                z_.avail_in = static_cast<uInt>(got);
            }
            z_.next_out = out_.data();
            z_.avail_out = static_cast<uInt>(out_.size());
            const int result = ::inflate(&z_, Z_NO_FLUSH);
            ended_ = result == Z_STREAM_END;
            ok_ = result == Z_OK || ended_;
            pos_ = 0;
            len_ = out_.size() - z_.avail_out;
            produced_ += len_;
            if (len_ > 0 && !over()) {
                return true;
            }
        }
        return false;
    }

    z_stream z_{};
    int fd_;
    std::uint64_t at_;
    std::uint64_t end_;
    std::uint64_t limit_;
    std::uint64_t produced_ = 0;
    bool ok_ = false;
    bool ended_ = false;
    std::vector<std::uint8_t> in_ = std::vector<std::uint8_t>(65536);
    std::vector<std::uint8_t> out_ = std::vector<std::uint8_t>(65536);
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
};

struct CpioEntry {
    std::string name;  // without a leading "./"
    std::uint32_t inode = 0;
    unsigned mode = 0;
    std::uint32_t links = 0;
    std::uint32_t mtime = 0;
    std::uint64_t size = 0;
};

// One cpio "newc" header and name; false at a damaged one.
bool next_entry(Inflow& in, CpioEntry& entry) {
    char header[110];
    if (!in.read(reinterpret_cast<std::uint8_t*>(header), sizeof header) ||
        std::memcmp(header, "070701", 6) != 0) {
        return false;
    }
    std::uint32_t field[13];
    for (int i = 0; i < 13; ++i) {
        char text[9] = {};
        std::memcpy(text, header + 6 + 8 * i, 8);
        char* end = nullptr;
        field[i] = static_cast<std::uint32_t>(std::strtoul(text, &end, 16));
        if (end != text + 8) {
            return false;
        }
    }
    const std::uint32_t name_size = field[11];
    if (name_size == 0 || name_size > 4096) {
        return false;
    }
    std::string name(name_size + (4 - (110 + name_size) % 4) % 4, '\0');
    if (!in.read(reinterpret_cast<std::uint8_t*>(name.data()), name.size()) ||
        name[name_size - 1] != '\0') {
        return false;
    }
    name.resize(name_size - 1);
    entry = {name.starts_with("./") ? name.substr(2) : name,
             field[0],
             field[1],
             field[4],
             field[5],
             field[6]};
    return entry.name.find('\0') == std::string::npos;
}

// "user/a/b" as its parts, each a plain name; empty when it is no such path.
std::vector<std::string> user_path(const std::string& name) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        parts.push_back(name.substr(start, slash - start));
        start = slash + 1;
    }
    for (const std::string& part : parts) {
        if (part.empty() || part == "." || part == "..") {
            return {};
        }
    }
    return parts.size() >= 2 && parts[0] == "user" ? parts : std::vector<std::string>{};
}

// The directory that holds the last part, under the unpacking root.
base::UniqueFd parent_of(int root, const std::vector<std::string>& parts) {
    base::UniqueFd dir(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    for (std::size_t i = 1; dir && i + 1 < parts.size(); ++i) {
        dir = base::UniqueFd(
            ::openat(dir.get(), parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    return dir;
}

// The way out's archive unpacked: user/ into run/vm-user (the caller's files, permission bits
// only), the status returned. False at a damaged or unfinished archive.
bool unpack(const Board& board, Inflow& in, std::uint64_t file_limit, std::string& status) {
    const base::UniqueFd root = board.open_in(UNPACKED, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!root) {
        fail_errno(board.path(UNPACKED));
    }
    std::uint64_t total = 0;
    std::uint64_t entries = 0;
    std::uint64_t left_out = 0;
    std::vector<std::uint8_t> buffer(65536);
    std::map<std::uint32_t, std::vector<std::vector<std::string>>> several;
    for (CpioEntry e; next_entry(in, e);) {
        const unsigned type = e.mode & S_IFMT;
        const std::uint64_t padded = e.size + (4 - e.size % 4) % 4;
        if (e.name == "TRAILER!!!") {
            if (left_out > 10) {
                std::fprintf(stderr, "mpboard: %s: %llu more entries left out\n",
                             board.path("user").c_str(),
                             static_cast<unsigned long long>(left_out - 10));
            }
            return true;
        }
        const std::vector<std::string> parts = user_path(e.name);
        const bool small = e.size <= 4096;
        if (e.name == "status" && type == S_IFREG && small) {
            std::vector<std::uint8_t> bytes(padded);
            if (!in.read(bytes.data(), padded)) {
                return false;
            }
            status.assign(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(e.size));
            continue;
        }
        const bool kept_type = type == S_IFDIR || type == S_IFREG || (type == S_IFLNK && small);
        // As many entries as /user's flash holds jffs2 nodes, at most.
        const bool room = entries < file_limit / 64 && total + e.size <= 16 * file_limit;
        if (parts.empty() || !kept_type || e.size > file_limit || !room) {
            if (!parts.empty() && ++left_out <= 10) {
                std::fprintf(stderr, "mpboard: %s: %s, left out\n", board.path(e.name).c_str(),
                             !kept_type            ? "not a file, directory or link"
                             : e.size > file_limit ? "larger than /user's flash"
                                                   : "over what /user's flash holds in all");
            }
            if (!in.read(nullptr, padded)) {
                return false;
            }
            continue;
        }
        total += e.size;
        ++entries;
        const base::UniqueFd parent = parent_of(root.get(), parts);
        const char* leaf = parts.back().c_str();
        const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(e.mtime), 0}};
        if (!parent) {
            return false;
        }
        if (type == S_IFDIR) {
            if (::mkdirat(parent.get(), leaf, 0700) != 0) {
                return false;
            }
            const base::UniqueFd dir(
                ::openat(parent.get(), leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!dir || ::fchmod(dir.get(), (e.mode & 0777) | 0700) != 0) {
                return false;
            }
        } else if (type == S_IFLNK) {
            std::string target(padded, '\0');
            if (!in.read(reinterpret_cast<std::uint8_t*>(target.data()), padded)) {
                return false;
            }
            target.resize(e.size);
            if (target.empty() || target.find('\0') != std::string::npos ||
                ::symlinkat(target.c_str(), parent.get(), leaf) != 0) {
                return false;
            }
            ::utimensat(parent.get(), leaf, times, AT_SYMLINK_NOFOLLOW);
        } else {
            const base::UniqueFd file(::openat(
                parent.get(), leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
            if (!file) {
                return false;
            }
            for (std::uint64_t left = e.size; left > 0;) {
                const std::size_t part = std::min<std::uint64_t>(left, buffer.size());
                if (!in.read(buffer.data(), part)) {
                    return false;
                }
                write_at(file.get(), buffer.data(), part, e.size - left, board.path(e.name));
                left -= part;
            }
            if (!in.read(nullptr, padded - e.size) || ::fchmod(file.get(), e.mode & 0777) != 0) {
                return false;
            }
            ::futimens(file.get(), times);
            // A file of several names comes as empty entries and, last, one with the bytes.
            if (e.links < 2) {
                continue;
            }
            std::vector<std::vector<std::string>>& names = several[e.inode];
            for (std::size_t i = 0; e.size > 0 && i < names.size(); ++i) {
                const base::UniqueFd at = parent_of(root.get(), names[i]);
                const char* name = names[i].back().c_str();
                if (!at || ::unlinkat(at.get(), name, 0) != 0 ||
                    ::linkat(parent.get(), leaf, at.get(), name, 0) != 0) {
                    return false;
                }
            }
            names.push_back(parts);
        }
    }
    return false;
}

// Where `part` lies in the flash a cut left, and its size: the file open for `flags`.
struct LeftPiece {
    base::UniqueFd fd;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

LeftPiece left_piece(const Board& board, const base::Partition& part, int flags) {
    LeftPiece piece{board.open_in(VM_FLASH, flags | O_NOFOLLOW), 0, 0};
    struct stat st {};
    if (!piece.fd || ::fstat(piece.fd.get(), &st) != 0) {
        fail_errno(board.path(VM_FLASH));
    }
    for (const base::Partition& p : base::kPartitions) {
        const std::string file(platform::sandbox::board_file(p));
        const base::UniqueFd fd = board.open_in(file, O_RDONLY | O_NOFOLLOW);
        struct stat file_st {};
        if (!fd || ::fstat(fd.get(), &file_st) != 0) {
            fail_errno(board.path(file));
        }
        piece.size = static_cast<std::uint64_t>(file_st.st_size);
        if (p.id == part.id) {
            break;
        }
        piece.offset += piece.size;
    }
    if (piece.offset + piece.size > static_cast<std::uint64_t>(st.st_size)) {
        fail(board.path(VM_FLASH) +
             ": not the flash of this board's partitions; remove it to "
             "start from the partition files");
    }
    return piece;
}

// The VPD region of the flash a cut left, by the file's size and the board's erase block.
std::uint64_t left_vpd_region(const Board& board, int fd) {
    struct stat st {};
    const std::uint32_t erase = platform::sandbox::read_conf(board.exists("etc/board.conf")
                                                                 ? board.read_text("etc/board.conf")
                                                                 : "")
                                    .erase_size;
    if (::fstat(fd, &st) != 0 ||
        static_cast<std::uint64_t>(st.st_size) < std::uint64_t{erase} + VPD_REGION) {
        fail(board.path(VM_FLASH) + ": not the flash of this board");
    }
    return static_cast<std::uint64_t>(st.st_size) - erase - VPD_REGION;
}

// Removes a file, link or directory tree of the board; a missing one is no error.
void remove_tree(const Board& board, const std::string& relative) {
    const auto [parent_path, name] = split_parent(relative);
    const base::UniqueFd parent = board.open_in(parent_path, O_PATH | O_DIRECTORY);
    struct stat st {};
    if (!parent || ::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    if (S_ISDIR(st.st_mode)) {
        board.empty_dir(relative);
    }
    if (::unlinkat(parent.get(), name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0) {
        fail_errno(board.path(relative));
    }
}

}  // namespace

const char* arch_name(VmArch arch) {
    return arch == VmArch::ppc ? "powerpc" : "x86-64";
}

VmFlash::VmFlash(const Board& board, std::uint32_t erase, std::uint64_t user_size, VmArch arch)
    : board_(board) {
    std::uint64_t offset = 0;
    for (const base::Partition& p : base::kPartitions) {
        const std::string file(platform::sandbox::board_file(p));
        const base::UniqueFd fd = board.open_in(file, O_RDONLY | O_NOFOLLOW);
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0 ||
            st.st_size % erase != 0) {
            fail(board.path(file) + ": not a whole number of " + std::to_string(erase) +
                 "-byte erase blocks");
        }
        pieces_.push_back({p.name, file, offset, static_cast<std::uint64_t>(st.st_size)});
        offset += static_cast<std::uint64_t>(st.st_size);
    }
    pieces_.push_back({"user", "", offset, user_size});
    pieces_.push_back({"out", "", offset + user_size, 2 * user_size});
    user_size_ = user_size;
    // A PCI memory region's size is a power of two; the state block is its last erase block.
    total_ = 1;
    while (total_ < offset + 3 * user_size + VPD_REGION + erase) {
        total_ *= 2;
    }
    pieces_.push_back({"state", "", total_ - erase, erase});
    vpd_region_ = total_ - erase - VPD_REGION;

    const std::optional<VmArch> left = vm_flash_left_by(board);
    if (left && *left != arch) {
        fail(board.path(VM_FLASH) + ": left by a cut of the " + arch_name(*left) +
             " machine, whose /user flash mounts only there (any command but run brings it back)");
    }
    fd_ = left ? board.open_in(VM_FLASH, O_RDWR | O_NOFOLLOW) : base::UniqueFd();
    if (fd_) {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) != total_) {
            fail(board.path(VM_FLASH) + ": not the flash of this board's partitions (" +
                 std::to_string(total_) + " bytes); remove it to start from the partition files");
        }
        // Whatever a cut left on the way out is not this run's.
        const std::vector<std::uint8_t> zeros(4096, 0);
        write_at(fd_.get(), zeros.data(), zeros.size(), pieces_[pieces_.size() - 2].offset,
                 board.path(VM_FLASH));
        if (!vpd_marked(fd_.get(), vpd_region_)) {
            put_vpd(fd_.get(), vpd_region_, board.read_vpd(), board.path(VM_FLASH));
        }
        return;
    }
    // The machine's init marks the state block once it has copied user/ onto its /user flash,
    // and only then is the file what the board holds: one without the mark is built again.
    fresh_ = true;
    board.make_dirs("run");
    board.remove(VM_FLASH);
    board.remove(std::string(VM_FLASH) + ".new");  // an earlier mpboard's name for it
    const std::string building = VM_FLASH;
    fd_ = board.open_in(building, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!fd_ || ::ftruncate(fd_.get(), static_cast<off_t>(total_)) != 0) {
        fail_errno(board.path(building));
    }
    for (const Piece& piece : pieces_) {
        if (piece.name != "user" && piece.file.empty()) {
            continue;  // the way out and the state block: zeros (a hole)
        }
        const std::vector<std::uint8_t> bytes = piece.file.empty()
                                                    ? std::vector<std::uint8_t>(piece.size, 0xFF)
                                                    : board.read(piece.file);
        write_at(fd_.get(), bytes.data(), bytes.size(), piece.offset, board.path(building));
    }
    put_vpd(fd_.get(), vpd_region_, board.read_vpd(), board.path(building));
}

std::vector<std::string> VmFlash::qemu_args() const {
    return {"-object",
            "memory-backend-file,id=flash,share=on,mem-path=/proc/self/fd/" +
                std::to_string(fd_.get()) + ",size=" + std::to_string(total_),
            "-device", "ivshmem-plain,memdev=flash"};
}

std::string VmFlash::pieces() const {
    std::string text;
    for (const Piece& piece : pieces_) {
        text += (text.empty() ? "" : ",") + piece.name + ":" + std::to_string(piece.offset) + ":" +
                std::to_string(piece.size);
    }
    return text;
}

std::string VmFlash::vpd() const {
    return std::to_string(vpd_region_) + ":" + std::to_string(VPD_REGION);
}

std::string VmFlash::take_apart() const {
    const std::string shown = board_.path(VM_FLASH);
    if (fresh_ && !vm_flash_left(board_)) {
        board_.remove(VM_FLASH);  // user/ never reached the machine's flash: it is as it was
        fail("the virtual machine ended before it had copied user/ onto its flash");
    }
    remove_tree(board_, UNPACKED);
    board_.make_dirs(UNPACKED);
    const Piece& out = pieces_[pieces_.size() - 2];
    Inflow in(fd_.get(), out.offset, out.size, 64 * user_size_);
    std::string status;
    const bool whole = unpack(board_, in, user_size_, status);
    if (in.over()) {
        std::fprintf(stderr, "mpboard: %s: over %llu MiB handed out; the rest left out\n",
                     board_.path("user").c_str(),
                     static_cast<unsigned long long>(64 * user_size_ >> 20));
    }
    if ((!whole && !in.over()) || status.empty()) {
        remove_tree(board_, UNPACKED);
        fail(shown +
             ": the virtual machine handed out no whole archive of /user and its status; "
             "the file keeps the board's flash, and the next command brings it back");
    }
    // The unpacked tree takes user/'s place in one step, then the old one goes.
    const base::UniqueFd root = board_.open_in(".", O_PATH | O_DIRECTORY);
    const base::UniqueFd run = board_.open_in("run", O_PATH | O_DIRECTORY);
    if (!root || !run ||
        (::renameat2(run.get(), "vm-user", root.get(), "user", RENAME_EXCHANGE) != 0 &&
         (errno != ENOENT || ::renameat(run.get(), "vm-user", root.get(), "user") != 0))) {
        fail_errno(board_.path("user"));
    }
    remove_tree(board_, UNPACKED);
    board_.write_vpd(read_at(fd_.get(), VPD_SIZE, vpd_region_, shown));
    for (const Piece& piece : pieces_) {
        if (piece.file.empty()) {
            continue;
        }
        const auto bytes = read_at(fd_.get(), piece.size, piece.offset, shown);
        if (bytes != board_.read(piece.file)) {
            board_.write(piece.file, bytes);
        }
    }
    board_.remove(VM_FLASH);
    return status;
}

void check_flash_driver(const std::string& modules) {
    const std::string dep = modules + "/modules.dep";
    const auto text = exists(dep) ? read_file(dep) : std::vector<std::uint8_t>();
    const std::string deps(text.begin(), text.end());
    const auto builtin = exists(modules + "/modules.builtin")
                             ? read_file(modules + "/modules.builtin")
                             : std::vector<std::uint8_t>();
    const std::string built_in(builtin.begin(), builtin.end());
    if (deps.find("/phram.ko:") == std::string::npos &&
        built_in.find("/phram.ko\n") == std::string::npos) {
        fail(modules +
             ": no phram module, which serves the machine's flash (bash scripts/lib/vm.sh "
             "or scripts/lib/vm-ppc.sh makes the kernel again)");
    }
    if (deps.find("/mpboard_i2c.ko:") == std::string::npos) {
        fail(modules +
             ": no mpboard_i2c module, which serves the machine's I2C bus, VPD EEPROM and CPLD "
             "(bash scripts/lib/vm.sh or scripts/lib/vm-ppc.sh builds it)");
    }
}

std::optional<VmArch> vm_flash_left_by(const Board& board) {
    const base::UniqueFd fd = board.open_in(VM_FLASH, O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
    const std::optional<VmArch> arch = fd ? user_in_marked(fd.get()) : std::nullopt;
    if (fd && !arch) {
        board.remove(VM_FLASH);  // the cut came before user/ was on it: user/ is as it was
    }
    return arch;
}

bool vm_flash_left(const Board& board) {
    return vm_flash_left_by(board).has_value();
}

std::vector<std::uint8_t> read_left_partition(const Board& board, const base::Partition& part) {
    const LeftPiece piece = left_piece(board, part, O_RDONLY);
    return read_at(piece.fd.get(), piece.size, piece.offset, board.path(VM_FLASH));
}

void write_left_partition(const Board& board, const base::Partition& part,
                          std::span<const std::uint8_t> bytes) {
    const LeftPiece piece = left_piece(board, part, O_RDWR);
    if (bytes.size() > piece.size) {
        fail(board.path(platform::sandbox::board_file(part)) + ": " + std::to_string(bytes.size()) +
             " bytes do not fit into the " + std::to_string(piece.size) + "-byte " + part.name +
             " partition");
    }
    std::vector<std::uint8_t> image(piece.size, 0xFF);
    std::copy(bytes.begin(), bytes.end(), image.begin());
    write_at(piece.fd.get(), image.data(), image.size(), piece.offset, board.path(VM_FLASH));
}

std::vector<std::uint8_t> read_left_vpd(const Board& board) {
    const base::UniqueFd fd = board.open_in(VM_FLASH, O_RDONLY | O_NOFOLLOW);
    if (!fd) {
        fail_errno(board.path(VM_FLASH));
    }
    const std::uint64_t region = left_vpd_region(board, fd.get());
    return vpd_marked(fd.get(), region) ? read_at(fd.get(), VPD_SIZE, region, board.path(VM_FLASH))
                                        : board.read_vpd();
}

void write_left_vpd(const Board& board, std::span<const std::uint8_t> bytes) {
    const base::UniqueFd fd = board.open_in(VM_FLASH, O_RDWR | O_NOFOLLOW);
    if (!fd) {
        fail_errno(board.path(VM_FLASH));
    }
    put_vpd(fd.get(), left_vpd_region(board, fd.get()), bytes, board.path(VM_FLASH));
}

}  // namespace mpboard
