// The jail's processes: the caller forks the process that makes the namespaces, which forks the
// jail's PID 1, a small init that starts the jailed program and reaps; every step reports to the
// caller on a pipe.
#include "jail/jail.hpp"

#include <fcntl.h>
#include <linux/keyctl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "jail/steps.hpp"

namespace jail {

namespace steps {

void fail_because(const std::string& step, const std::string& reason) {
    throw StepFailed("jail: " + step + ": " + reason);
}

void fail(const std::string& step, int err, const std::string& hint) {
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

}  // namespace steps

namespace {

using base::UniqueFd;
using steps::StepFailed;

// How the processes of a jail talk to the caller, one line each on the report pipe:
//   "pid N"       the host PID of the jail's PID 1 (from the process that made the namespaces)
//   "ready"       the jail's root is in place (from PID 1)
//   "error TEXT"  a step failed; the jail is abandoned
//   "status N"    the jailed program's wait status (from PID 1)
//   "init N"      PID 1's own wait status (what remains when PID 1 was killed from outside)
// The caller answers on the go pipe with one byte once its on_ready hook is done; without it
// (the caller died) nothing runs in the jail.

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

Pipe make_pipe(const std::string& what) {
    std::array<int, 2> fds{};
    if (::pipe2(fds.data(), O_CLOEXEC) != 0) {
        steps::fail("making the " + what + " pipe", errno);
    }
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Lines are far below PIPE_BUF, so each arrives whole even with several writers.
void send_line(int fd, std::string line) {
    line += '\n';
    (void)base::write_all(fd, {reinterpret_cast<const std::uint8_t*>(line.data()), line.size()});
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
    std::array<std::uint8_t, 1> byte{};
    return base::read_full(fd, byte).done == 1;
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

// Closes every descriptor but the standard streams and `keep`; a standard stream that is a
// directory (the one kind a path leads on from) becomes dev/null.
void close_inherited(std::array<int, 2> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned from = 3;
    for (const int fd : keep) {
        const auto at = static_cast<unsigned>(fd);
        if (at > from) {
            steps::check(::syscall(SYS_close_range, from, at - 1, 0),
                         "closing inherited descriptors");
        }
        from = std::max(from, at + 1);
    }
    steps::check(::syscall(SYS_close_range, from, ~0U, 0), "closing inherited descriptors");
    for (int fd = 0; fd < 3; ++fd) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            const UniqueFd null(::openat(AT_FDCWD, "/dev/null", O_RDWR | O_CLOEXEC));
            if (!null || ::dup2(null.get(), fd) < 0) {
                steps::fail("replacing a directory on descriptor " + std::to_string(fd), errno);
            }
        }
    }
}

// The jail's ends of the two pipes.
struct JailEnds {
    UniqueFd report;
    UniqueFd go;
};

// PID 1 of a locked jail, in its root, before its program starts (see jail.hpp).
void lock_init(const JailEnds& ends) {
    close_inherited({ends.report.get(), ends.go.get()});
    // The caller's command line named the directory.
    steps::hide_command_line();
    // Its memory stays the host user namespace's: nothing in the jail may trace or read it.
    steps::check(::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0), "making PID 1 not dumpable");
    steps::check(::setpgid(0, 0), "making the jail's process group");
    // Where the kernel has no keyrings there are none to take along either.
    if (::syscall(SYS_keyctl, KEYCTL_JOIN_SESSION_KEYRING, nullptr) < 0 && errno != ENOSYS) {
        steps::fail("joining a new session keyring", errno);
    }
}

// In the forked child of the caller. Returns only in the jailed program, its ends of the pipes
// closed; every other process of the jail ends here.
void become_jailed(std::string root, int dir_fd, const JailOptions& options, pid_t caller,
                   JailEnds ends, const Dispositions& original) {
    // If the caller dies, the jail dies with it: this process, and through it PID 1.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != caller) {
        ::_exit(1);
    }
    int tmp = -1;
    bool layered = false;
    try {
        layered = steps::enter_user_namespace(options.locked);
        if (dir_fd >= 0) {
            // The new mount namespace keeps the working directory, in its own copy of the mount.
            steps::check(::fchdir(dir_fd), "entering the jail's directory");
            ::close(dir_fd);
        }
        steps::enter_namespaces();
        if (dir_fd >= 0) {
            root = steps::build_locked_tree(options, layered, tmp);
        } else {
            steps::build_tree(root, options);
        }
    } catch (const StepFailed& e) {
        report_and_exit(ends.report.get(), e.what());
    }

    const pid_t first = ::fork();
    if (first < 0) {
        report_and_exit(ends.report.get(),
                        std::string("jail: starting the jail's PID 1: ") + std::strerror(errno));
    }
    if (first > 0) {
        ends.go.reset();
        send_line(ends.report.get(), "pid " + std::to_string(first));
        const int init_status = reap(first);
        if (tmp >= 0) {
            steps::keep_ram_files(tmp);
        }
        if (dir_fd >= 0) {
            steps::remove_layers();
        }
        send_line(ends.report.get(), "init " + std::to_string(init_status));
        ::_exit(0);
    }

    // PID 1: a program there would ignore every signal it has no handler for, even abort()'s
    // SIGABRT and a terminating signal sent by its own processes (qemu-user's abort path then
    // waits for ever), so the init only reaps and passes the program's status on.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    try {
        steps::enter_root(root, options.locked);
        if (options.locked) {
            lock_init(ends);
        }
    } catch (const StepFailed& e) {
        report_and_exit(ends.report.get(), e.what());
    }
    Dispositions::ignore_all();
    send_line(ends.report.get(), "ready");
    if (!wait_for_go(ends.go.get())) {
        ::_exit(1);
    }
    const pid_t program = ::fork();
    if (program < 0) {
        report_and_exit(ends.report.get(),
                        std::string("jail: starting the jailed program: ") + std::strerror(errno));
    }
    if (program == 0) {
        original.restore();
        // Where no control group holds the jail: in its user namespace, the count is the jail's.
        const rlimit processes{static_cast<rlim_t>(options.pids_max),
                               static_cast<rlim_t>(options.pids_max)};
        if (options.pids_max > 0 && ::setrlimit(RLIMIT_NPROC, &processes) != 0) {
            report_and_exit(ends.report.get(),
                            std::string("jail: limiting the processes: ") + std::strerror(errno));
        }
        return;
    }
    ends.go.reset();
    run_init(program, ends.report.get());
}

// The process group that SIGINT outside a locked jail goes on to (its PID 1's, in host PIDs).
std::atomic<pid_t> g_sigint_group{0};

void pass_sigint(int /*sig*/) {
    const int saved = errno;
    const pid_t group = g_sigint_group.load();
    if (group > 0) {
        ::kill(-group, SIGINT);
    }
    errno = saved;
}

// SIGTERM or SIGHUP to the caller of a jail with end_on_signals: the jail ends, and the caller
// goes on to tidy up. Its PID 1 is killed (its end waits for every process of the jail to end),
// or before it is known the process that makes it (PID 1 dies with it).
std::atomic<pid_t> g_jail_maker{0};
std::atomic<pid_t> g_jail_init{0};
std::atomic<int> g_end_signal{0};

void end_jail(int sig) {
    const int saved = errno;
    g_end_signal = sig;
    const pid_t init = g_jail_init.load();
    const pid_t maker = g_jail_maker.load();
    if (init > 0) {
        ::kill(init, SIGKILL);
    } else if (maker > 0) {
        ::kill(maker, SIGKILL);
    }
    errno = saved;
}

constexpr std::array<int, 2> kEndingSignals{SIGTERM, SIGHUP};

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
            if (options.locked) {
                g_sigint_group = init;
            }
            if (options.end_on_signals) {
                g_jail_init = init;
                if (g_end_signal != 0) {
                    ::kill(init, SIGKILL);
                }
            }
        } else if (line == "ready") {
            ready = true;
        } else if (starts_with(line, "error ", rest)) {
            error = rest;
        }
    }
    std::unique_ptr<steps::ControlGroups> group;
    if (ready && init > 0 && error.empty() && options.locked &&
        (options.pids_max > 0 || options.memory_max > 0)) {
        try {
            group = std::make_unique<steps::ControlGroups>(init, options);
        } catch (const StepFailed& e) {
            // RLIMIT_NPROC spares the host's root (the jail's root is the host's uid 0 then).
            std::fprintf(stderr, "mpboard: no control group for the board (%s): %s\n", e.what(),
                         ::geteuid() == 0
                             ? "its processes and its memory are not limited"
                             : "its processes are limited by RLIMIT_NPROC, its memory is not");
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

    (void)base::write_all(go.write.get(), std::array<std::uint8_t, 1>{'g'});
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
    group.reset();
    if (!error.empty()) {
        return failed(error);
    }
    JailResult result;
    result.side = JailResult::Side::outside;
    result.wait_status = have_status ? status : have_init ? init_status : child_status;
    return result;
}

}  // namespace

namespace {

JailResult start_jail(const std::string& root, int dir_fd, const JailOptions& options) {
    Pipe report;
    Pipe go;
    try {
        if (!options.console.empty()) {
            steps::check_console(options.console);
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
        ignore.sa_handler = options.locked ? pass_sigint : SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ignore.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &ignore, &caller_sigint);
    }
    std::array<struct sigaction, kEndingSignals.size()> caller_ending{};
    if (options.end_on_signals) {
        g_end_signal = 0;
        struct sigaction end {};
        end.sa_handler = end_jail;
        sigemptyset(&end.sa_mask);
        end.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
            ::sigaction(kEndingSignals[i], &end, &caller_ending[i]);
        }
    }
    // Buffered output must not be written twice, by the caller and again by the jail.
    std::fflush(nullptr);
    const pid_t caller = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        g_jail_maker = 0;
        report.read.reset();
        go.write.reset();
        become_jailed(root, dir_fd, options, caller, {std::move(report.write), std::move(go.read)},
                      original);
        JailResult inside;
        inside.side = JailResult::Side::inside;
        return inside;
    }

    JailResult result;
    if (child < 0) {
        result = failed(std::string("jail: fork: ") + std::strerror(errno));
    } else {
        g_jail_maker = child;
        if (g_end_signal != 0) {
            ::kill(child, SIGKILL);
        }
        report.write.reset();
        go.read.reset();
        result = wait_outside(child, report, go, options);
        g_jail_maker = 0;
        g_jail_init = 0;
    }
    if (options.ignore_sigint) {
        ::sigaction(SIGINT, &caller_sigint, nullptr);
        g_sigint_group = 0;
    }
    if (options.end_on_signals) {
        // The caller tidies up next: a later SIGTERM or SIGHUP waits for it (see jail.hpp).
        sigset_t ending;
        sigemptyset(&ending);
        for (const int sig : kEndingSignals) {
            sigaddset(&ending, sig);
        }
        ::sigprocmask(SIG_BLOCK, &ending, nullptr);
        for (std::size_t i = 0; i < kEndingSignals.size(); ++i) {
            ::sigaction(kEndingSignals[i], &caller_ending[i], nullptr);
        }
        result.caller_signal = g_end_signal.exchange(0);
        if (result.caller_signal != 0 && result.side == JailResult::Side::failed) {
            result.side = JailResult::Side::outside;
        }
    }
    return result;
}

}  // namespace

JailResult enter_jail(const std::string& dir, const JailOptions& options) {
    std::string root;
    try {
        root = steps::jail_root(dir);
    } catch (const StepFailed& e) {
        return failed(e.what());
    }
    return start_jail(root, -1, options);
}

JailResult enter_jail(int dir_fd, const std::string& shown, JailOptions options) {
    options.locked = true;
    struct stat st {};
    if (::fstat(dir_fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
        return failed("jail: " + shown + ": not a directory");
    }
    return start_jail(shown, dir_fd, options);
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

}  // namespace jail
