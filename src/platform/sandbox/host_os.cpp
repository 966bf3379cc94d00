#include "platform/sandbox/host_os.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/io.hpp"

namespace platform::sandbox::host {

namespace {
// statfs(2) f_type of a tmpfs.
constexpr long kTmpfsMagic = 0x01021994;
// The inode of the host's first PID namespace (PROC_PID_INIT_INO in the kernel), fixed.
constexpr ino_t kInitialPidNamespace = 0xEFFFFFFCU;
}  // namespace

int open_backing(const std::string& path, int flags, mode_t mode) {
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY, mode));
    if (fd.get() < 0) {
        return -1;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = ENODEV;
        return -1;
    }
    return fd.release();
}

off_t file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return -1;
    }
    return st.st_size;
}

ssize_t read_at(int fd, std::span<std::uint8_t> data, off_t offset) {
    const base::Transfer t = base::read_full(fd, data, static_cast<std::uint64_t>(offset));
    if (!t) {
        errno = t.error;
        return -1;
    }
    return static_cast<ssize_t>(t.done);
}

bool write_at(int fd, std::span<const std::uint8_t> data, off_t offset) {
    const base::Transfer t = base::write_all(fd, data, static_cast<std::uint64_t>(offset));
    errno = t.error;
    return t.ok();
}

bool append_line(const std::string& path, std::string_view line) {
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
    return fd && base::write_all(fd.get(),
                                 {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
}

bool make_dirs(const std::string& path) {
    for (std::size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        const std::string part = path.substr(0, pos);
        if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (pos == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool on_tmpfs(const std::string& path) {
    struct statfs fs {};
    return ::statfs(path.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == kTmpfsMagic;
}

bool in_child_pid_namespace() {
    struct stat st {};
    return ::fstatat(AT_FDCWD, "/proc/self/ns/pid", &st, 0) == 0 &&
           st.st_ino != kInitialPidNamespace;
}

// board.conf is replaced whole (mpboard renames a new file over it), never grown in place.
std::optional<std::string> read_text(const std::string& path) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    const off_t size = fd ? file_size(fd.get()) : -1;
    if (size < 0) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    const ssize_t n =
        read_at(fd.get(), {reinterpret_cast<std::uint8_t*>(text.data()), text.size()}, 0);
    if (n < 0) {
        return std::nullopt;
    }
    text.resize(static_cast<std::size_t>(n));
    return text;
}

unsigned long long sleep_ns(unsigned long long ns) {
    constexpr unsigned long long kPerSecond = 1000000000ULL;
    timespec want{static_cast<time_t>(ns / kPerSecond), static_cast<long>(ns % kPerSecond)};
    timespec left{};
    if (::nanosleep(&want, &left) == 0) {
        return 0;
    }
    return static_cast<unsigned long long>(left.tv_sec) * kPerSecond +
           static_cast<unsigned long long>(left.tv_nsec);
}

void flush_output() {
    std::fflush(stdout);
    std::fflush(stderr);
}

int shell(const char* command) {
    return std::system(command);
}

int exec_program(const char* program) {
    return ::execlp(program, program, static_cast<char*>(nullptr));
}

void kill_board(bool whole_board) {
    if (whole_board) {
        // Inside the board's PID namespace, -1 reaches every process of the board except its
        // init and the caller; the init only reaps, and ends with the caller.
        static_cast<void>(::kill(-1, SIGKILL));
    }
    static_cast<void>(::kill(::getpid(), SIGKILL));
}

}  // namespace platform::sandbox::host
