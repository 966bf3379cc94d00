#include "jail/jail.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "base/unique_fd.hpp"

namespace platform::sandbox {
namespace {

// Files are reached through openat and fstatat only: tests of the board's platform link with
// open and stat wrapped (ld --wrap), and their main still has to build the jail.

// How the processes of a jail talk to the caller, one line each on the report pipe:
//   "pid N"       the host PID of the jail's PID 1 (from the process that made the namespaces)
//   "ready"       the jail's root is in place (from PID 1)
//   "error TEXT"  a step failed; the jail is abandoned
//   "status N"    the jailed program's wait status
//   "init N"      PID 1's own wait status (what remains when PID 1 was killed from outside)
// The caller answers on the go pipe with one byte once its on_ready hook is done; without it
// (the caller died) nothing runs in the jail.

class StepFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail_because(const std::string& step, const std::string& reason) {
    throw StepFailed("jail: " + step + ": " + reason);
}

[[noreturn]] void fail(const std::string& step, int err, const std::string& hint = {}) {
    std::string reason = std::strerror(err);
    if (!hint.empty()) {
        reason += " (" + hint + ")";
    }
    fail_because(step, reason);
}

void check(long rc, const std::string& step) {
    if (rc != 0) {
        fail(step, errno);
    }
}

// The jail links nothing but the C library (the descriptor owner is header only): the unit-test
// main brings it into every test binary, the board platform's link-time-wrapped tests included.
using base::UniqueFd;

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Pipe make_pipe(const std::string& what) {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        fail("making the " + what + " pipe", errno);
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

bool write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Lines are far below PIPE_BUF, so each arrives whole even with several writers.
void send_line(int fd, std::string line) {
    line += '\n';
    (void)write_all(fd, line);
}

[[noreturn]] void report_and_exit(int fd, const std::string& error) {
    send_line(fd, "error " + error);
    ::_exit(1);
}

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    // False at end of file.
    bool next(std::string& line) {
        for (;;) {
            const auto end = buffer_.find('\n');
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return true;
            }
            std::array<char, 256> chunk{};
            const ssize_t n = ::read(fd_, chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            buffer_.append(chunk.data(), static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string buffer_;
};

bool starts_with(std::string_view text, std::string_view prefix, std::string_view& rest) {
    if (text.substr(0, prefix.size()) != prefix) {
        return false;
    }
    rest = text.substr(prefix.size());
    return true;
}

long to_long(std::string_view digits) {
    return std::strtol(std::string(digits).c_str(), nullptr, 10);
}

int reap(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

// ---- Files and mounts under the jail's directory ------------------------------------------------

std::string first_line_of(const char* path) {
    std::string text;
    UniqueFd fd(::openat(AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return text;
    }
    std::array<char, 64> buffer{};
    const ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
    if (n > 0) {
        text.assign(buffer.data(), static_cast<std::size_t>(n));
    }
    return text.substr(0, text.find('\n'));
}

void write_file(const std::string& path, const std::string& text) {
    UniqueFd fd(::openat(AT_FDCWD, path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.get() < 0 || !write_all(fd.get(), text)) {
        fail("writing \"" + text + "\" to " + path, errno);
    }
}

void make_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) {
        return;
    }
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return;
        }
        // A symbolic link here would carry the jail's mounts somewhere else.
        fail_because("making directory " + path, "it exists and is not a directory");
    }
    fail("making directory " + path, err);
}

// A mount point for a device: a plain file (or a device node a board brought along).
void make_file(const std::string& path) {
    struct stat st {};
    if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode)) {
            return;
        }
        fail_because("making file " + path, "it exists and is neither a file nor a device");
    }
    const UniqueFd fd(::openat(AT_FDCWD, path.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (fd.get() < 0) {
        fail("making file " + path, errno);
    }
}

void bind_file(const std::string& source, const std::string& target) {
    make_file(target);
    check(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr),
          "bind-mounting " + source + " on " + target);
}

// dev/ptmx must reach the jail's own devpts instance, never the host's.
void link_ptmx(const std::string& root) {
    const std::string path = root + "/dev/ptmx";
    std::array<char, 64> target{};
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n >= 0) {
        const std::string_view points_to(target.data(), static_cast<std::size_t>(n));
        if (points_to == "pts/ptmx" || points_to == "/dev/pts/ptmx") {
            return;
        }
        fail_because("linking " + path + " to pts/ptmx",
                     "it is a link to " + std::string(points_to));
    }
    if (errno == ENOENT) {
        check(::symlink("pts/ptmx", path.c_str()), "linking " + path + " to pts/ptmx");
        return;
    }
    // A board may bring its own dev/ptmx file or node: the instance's ptmx goes over it.
    bind_file(root + "/dev/pts/ptmx", path);
}

std::string user_namespace_hint(int err) {
    if (err == EINVAL) {
        return "a process with more than one thread cannot enter one; under qemu-user, enter it "
               "before qemu starts";
    }
    if (first_line_of("/proc/sys/kernel/unprivileged_userns_clone") == "0") {
        return "unprivileged user namespaces are disabled: "
               "/proc/sys/kernel/unprivileged_userns_clone is 0";
    }
    if (first_line_of("/proc/sys/user/max_user_namespaces") == "0") {
        return "user namespaces are disabled: /proc/sys/user/max_user_namespaces is 0";
    }
    if (err == EPERM) {
        return "refused to a chrooted process, or by a security module";
    }
    return {};
}

void enter_user_namespace() {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER) != 0) {
        const int err = errno;
        // qemu-user runs helper threads, and a threaded process may not enter a user namespace.
        // Root keeps its privileges instead; the namespaces below isolate it all the same.
        if (err == EINVAL && uid == 0) {
            return;
        }
        fail("entering a user namespace", err, user_namespace_hint(err));
    }
    // From inside, a process may map only its own ids, and the group map needs setgroups denied.
    // Root is root there too; files of other host users show as the overflow id.
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
}

struct Namespace {
    int flag;
    const char* name;
};

constexpr std::array<Namespace, 5> kNamespaces{{
    {CLONE_NEWNS, "mount"},
    {CLONE_NEWPID, "PID"},
    {CLONE_NEWNET, "network"},
    {CLONE_NEWUTS, "UTS"},
    {CLONE_NEWIPC, "IPC"},
}};

void enter_namespaces() {
    for (const Namespace& ns : kNamespaces) {
        check(::unshare(ns.flag), std::string("entering a new ") + ns.name + " namespace");
    }
    // Nothing mounted from here on may propagate back to the host.
    check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr),
          "making every mount private");
}

// Everything but proc, which only a process of the new PID namespace can mount.
void build_tree(const std::string& root, const JailOptions& options) {
    // The directory becomes a mount of its own so that it can be made the root.
    check(::mount(root.c_str(), root.c_str(), nullptr, MS_BIND | MS_REC, nullptr),
          "bind-mounting " + root + " on itself");
    const std::string dev = root + "/dev";
    make_dir(dev);
    bind_file("/dev/null", dev + "/null");
    bind_file("/dev/zero", dev + "/zero");
    bind_file(options.console.empty() ? std::string("/dev/tty") : options.console, dev + "/tty");
    if (!options.console.empty()) {
        bind_file(options.console, dev + "/ttyS0");
    }
    make_dir(dev + "/pts");
    check(::mount("devpts", (dev + "/pts").c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
                  "newinstance,ptmxmode=0666,mode=0620"),
          "mounting a devpts instance on " + dev + "/pts");
    link_ptmx(root);

    const std::string run = root + "/run";
    make_dir(run);
    check(::mount("tmpfs", run.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=8m"),
          "mounting a tmpfs on " + run);
    if (options.marker) {
        make_file(run + "/mpboard-jail");
    }
    if (options.mount_proc) {
        make_dir(root + "/proc");
    }
}

// In PID 1 of the jail: proc, then the directory becomes the root of the mount namespace.
void enter_root(const std::string& root, const JailOptions& options) {
    if (options.mount_proc) {
        check(::mount("proc", (root + "/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                      nullptr),
              "mounting proc on " + root + "/proc");
    }
    check(::chdir(root.c_str()), "changing directory to " + root);
    // pivot_root(".", ".") stacks the old root on the new one; detaching it leaves no path back
    // to the host's files. A chroot alone would leave them one chroot(2) away, and a chrooted
    // process may not create user namespaces, so a jail could not be entered from a jail.
    check(::syscall(SYS_pivot_root, ".", "."), "pivot_root into " + root);
    check(::umount2(".", MNT_DETACH), "detaching the host's root from " + root);
    check(::chdir("/"), "changing directory to / in " + root);
}

// ---- Signals
// -------------------------------------------------------------------------------------

// What a terminal, a parent or the jail's own processes may send; the init ignores them all
// explicitly (under qemu-user a default disposition would end in qemu's abort path, which waits
// for ever in a PID 1).
constexpr std::array<int, 11> kInitIgnores{SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2,
                                           SIGPIPE, SIGALRM, SIGTSTP, SIGTTIN, SIGTTOU};

class Dispositions {
public:
    void save() {
        for (std::size_t i = 0; i < kInitIgnores.size(); ++i) {
            ::sigaction(kInitIgnores[i], nullptr, &saved_[i]);
        }
    }
    void restore() const {
        for (std::size_t i = 0; i < kInitIgnores.size(); ++i) {
            ::sigaction(kInitIgnores[i], &saved_[i], nullptr);
        }
    }
    static void ignore_all() {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        for (const int sig : kInitIgnores) {
            ::sigaction(sig, &ignore, nullptr);
        }
    }

private:
    std::array<struct sigaction, kInitIgnores.size()> saved_{};
};

bool wait_for_go(int fd) {
    char byte = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &byte, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 1;
    }
}

[[noreturn]] void run_init(pid_t program, int report_fd) {
    for (;;) {
        int status = 0;
        const pid_t pid = ::waitpid(-1, &status, 0);
        if (pid < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::_exit(1);
        }
        // Orphans of the jail are reaped here; the jail ends with its program, and the kernel
        // kills whatever is still running in it when PID 1 exits.
        if (pid == program) {
            send_line(report_fd, "status " + std::to_string(status));
            ::_exit(0);
        }
    }
}

struct Channels {
    int report;
    int go;
};

// In the forked child of the caller. Returns only in the jailed program; every other process
// of the jail ends here.
void become_jailed(const std::string& root, const JailOptions& options, pid_t caller,
                   Channels channels, const Dispositions& original) {
    // If the caller dies, the jail dies with it: this process, and through it PID 1.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != caller) {
        ::_exit(1);
    }
    try {
        enter_user_namespace();
        enter_namespaces();
        build_tree(root, options);
    } catch (const StepFailed& e) {
        report_and_exit(channels.report, e.what());
    }

    const pid_t first = ::fork();
    if (first < 0) {
        report_and_exit(channels.report,
                        std::string("jail: starting the jail's PID 1: ") + std::strerror(errno));
    }
    if (first > 0) {
        ::close(channels.go);
        send_line(channels.report, "pid " + std::to_string(first));
        const int status = reap(first);
        send_line(channels.report, (options.init ? "init " : "status ") + std::to_string(status));
        ::_exit(0);
    }

    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    try {
        enter_root(root, options);
    } catch (const StepFailed& e) {
        report_and_exit(channels.report, e.what());
    }
    if (options.init) {
        Dispositions::ignore_all();
    }
    send_line(channels.report, "ready");
    if (!wait_for_go(channels.go)) {
        ::_exit(1);
    }
    if (!options.init) {
        original.restore();
        return;
    }
    const pid_t program = ::fork();
    if (program < 0) {
        report_and_exit(channels.report,
                        std::string("jail: starting the jailed program: ") + std::strerror(errno));
    }
    if (program == 0) {
        original.restore();
        return;
    }
    ::close(channels.go);
    run_init(program, channels.report);
}

std::string jail_root(const std::string& dir) {
    std::array<char, PATH_MAX> resolved{};
    if (::realpath(dir.c_str(), resolved.data()) == nullptr) {
        fail(dir, errno);
    }
    const std::string root(resolved.data());
    struct stat st {};
    if (::fstatat(AT_FDCWD, root.c_str(), &st, 0) != 0) {
        fail(root, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        fail(root, ENOTDIR);
    }
    if (root == "/") {
        fail_because(dir, "the host's root cannot be a jail");
    }
    return root;
}

void check_console(const std::string& console) {
    struct stat st {};
    if (::fstatat(AT_FDCWD, console.c_str(), &st, 0) != 0) {
        fail("console " + console, errno);
    }
    if (!S_ISCHR(st.st_mode)) {
        fail_because("console " + console, "not a terminal device");
    }
}

JailResult failed(std::string error) {
    JailResult result;
    result.side = JailResult::Side::failed;
    result.error = std::move(error);
    return result;
}

// In the caller, after the fork: follows the jail's report until the program has ended.
JailResult wait_outside(pid_t child, Pipe& report, Pipe& go, const JailOptions& options) {
    LineReader lines(report.read.get());
    std::string line;
    std::string_view rest;
    pid_t init = -1;
    bool ready = false;
    std::string error;
    while ((!ready || init < 0) && error.empty() && lines.next(line)) {
        if (starts_with(line, "pid ", rest)) {
            init = static_cast<pid_t>(to_long(rest));
        } else if (line == "ready") {
            ready = true;
        } else if (starts_with(line, "error ", rest)) {
            error = rest;
        }
    }
    if (ready && init > 0 && error.empty() && options.on_ready) {
        try {
            options.on_ready(init);
        } catch (const std::exception& e) {
            error = std::string("jail: preparing the jail: ") + e.what();
        }
    }
    if (!ready || init < 0 || !error.empty()) {
        go.write.reset();  // PID 1, if it got that far, leaves without starting anything
        reap(child);
        return failed(error.empty() ? "jail: the jail ended before it was ready" : error);
    }

    (void)write_all(go.write.get(), "g");
    go.write.reset();
    bool have_status = false;
    bool have_init = false;
    int status = 0;
    int init_status = 0;
    while (lines.next(line)) {
        if (starts_with(line, "status ", rest)) {
            have_status = true;
            status = static_cast<int>(to_long(rest));
        } else if (starts_with(line, "init ", rest)) {
            have_init = true;
            init_status = static_cast<int>(to_long(rest));
        } else if (starts_with(line, "error ", rest)) {
            error = rest;
        }
    }
    const int child_status = reap(child);
    if (!error.empty()) {
        return failed(error);
    }
    JailResult result;
    result.side = JailResult::Side::outside;
    result.wait_status = have_status ? status : have_init ? init_status : child_status;
    return result;
}

}  // namespace

JailResult enter_jail(const std::string& dir, const JailOptions& options) {
    std::string root;
    Pipe report;
    Pipe go;
    try {
        root = jail_root(dir);
        if (!options.console.empty()) {
            check_console(options.console);
        }
        report = make_pipe("report");
        go = make_pipe("go");
    } catch (const StepFailed& e) {
        return failed(e.what());
    }

    Dispositions original;
    original.save();
    struct sigaction caller_sigint {};
    if (options.ignore_sigint) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGINT, &ignore, &caller_sigint);
    }
    // Buffered output must not be written twice, by the caller and again by the jail.
    std::fflush(nullptr);
    const pid_t caller = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        report.read.reset();
        go.write.reset();
        become_jailed(root, options, caller, {report.write.get(), go.read.get()}, original);
        report.write.reset();
        go.read.reset();
        JailResult inside;
        inside.side = JailResult::Side::inside;
        return inside;
    }

    JailResult result;
    if (child < 0) {
        result = failed(std::string("jail: fork: ") + std::strerror(errno));
    } else {
        report.write.reset();
        go.read.reset();
        result = wait_outside(child, report, go, options);
    }
    if (options.ignore_sigint) {
        ::sigaction(SIGINT, &caller_sigint, nullptr);
    }
    return result;
}

void exit_like(int wait_status) {
    std::fflush(nullptr);
    if (WIFSIGNALED(wait_status)) {
        const int sig = WTERMSIG(wait_status);
        // The program's own crash has been reported already; no second core from this process.
        struct rlimit core {};
        if (::getrlimit(RLIMIT_CORE, &core) == 0) {
            core.rlim_cur = 0;
            ::setrlimit(RLIMIT_CORE, &core);
        }
        ::signal(sig, SIG_DFL);
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, sig);
        ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
        ::raise(sig);
        std::_Exit(128 + sig);
    }
    std::exit(WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 1);
}

}  // namespace platform::sandbox
