#include "board_jail.hpp"

#include <dirent.h>
#include <elf.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "board_conf.hpp"
#include "files.hpp"
#include "installer/installer.hpp"
#include "jail/jail.hpp"
#include "launch/launch.hpp"
#include "xmodem/xmodem.hpp"

extern char** environ;

namespace mpboard {

// The dynamic loader a host executable names (PT_INTERP), or empty for a static one.
std::string interpreter_of(const std::string& path) {
    const auto bytes = read_file(path);
    if (bytes.size() < sizeof(Elf64_Ehdr) || std::memcmp(bytes.data(), ELFMAG, SELFMAG) != 0) {
        fail(path + ": not an ELF executable");
    }
    if (bytes[EI_CLASS] != ELFCLASS64) {
        return {};  // the powerpc build, static
    }
    Elf64_Ehdr eh;
    std::memcpy(&eh, bytes.data(), sizeof eh);
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        const std::size_t at = eh.e_phoff + std::size_t{i} * eh.e_phentsize;
        if (at + sizeof(Elf64_Phdr) > bytes.size()) {
            break;
        }
        Elf64_Phdr ph;
        std::memcpy(&ph, bytes.data() + at, sizeof ph);
        if (ph.p_type == PT_INTERP && ph.p_offset + ph.p_filesz <= bytes.size() &&
            ph.p_filesz > 1) {
            return std::string(reinterpret_cast<const char*>(bytes.data() + ph.p_offset),
                               ph.p_filesz - 1);
        }
    }
    return {};
}

// The shared objects a dynamic executable loads, as its loader lists them (what ldd shows).
std::vector<std::string> shared_objects_of(const std::string& interp, const std::string& exe) {
    std::array<int, 2> pipe_fds{};
    if (::pipe2(pipe_fds.data(), O_CLOEXEC) != 0) {
        fail_errno("pipe");
    }
    const base::UniqueFd from_loader(pipe_fds[0]);
    base::UniqueFd to_us(pipe_fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_us.get(), STDOUT_FILENO);
    std::string list = "--list";
    std::vector<char*> argv{const_cast<char*>(interp.c_str()), list.data(),
                            const_cast<char*>(exe.c_str()), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, interp.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    to_us.reset();
    const auto listing =
        rc == 0 ? read_all(from_loader.get(), interp) : std::vector<std::uint8_t>{};
    const std::string out(listing.begin(), listing.end());
    int status = 0;
    if (rc != 0 || ::waitpid(pid, &status, 0) < 0 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        fail(exe + ": could not list its shared libraries with " + interp);
    }
    std::vector<std::string> objects{interp};
    std::size_t pos = 0;
    while (pos < out.size()) {
        const auto nl = out.find('\n', pos);
        std::string line = out.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? out.size() : nl + 1;
        line.erase(0, line.find_first_not_of(" \t"));
        const auto arrow = line.find(" => ");
        std::string path = arrow == std::string::npos ? line : line.substr(arrow + 4);
        path = path.substr(0, path.find(" ("));
        if (path.starts_with("/") && path != interp) {
            objects.push_back(path);
        }
    }
    return objects;
}

namespace {

namespace sb = platform::sandbox;

// Where the launcher lives inside a board; copied there before every run, so a rebuilt launcher
// is the one that boots.
constexpr const char* BOARD_LAUNCHER = "/bin/mplaunch-sandbox";
constexpr const char* BOARD_LAUNCHER_PPC = "/bin/mplaunch-sandbox-ppc";
constexpr const char* BOARD_QEMU = "/usr/bin/qemu-ppc-static";
// The application's confirmation that it came up, where applications call it.
constexpr const char* BOARD_CONFIRM = "/usr/bin/mplaunch-confirm";
// This run's board.conf when --clock-scale overrides it: on the jail's own tmpfs, bind-mounted
// over /etc/board.conf inside the jail only.
constexpr const char* RUN_CONF = "/run/board.conf";
constexpr const char* NETNS_DIR = "/run/netns";

// ---- The launcher and what it needs in the board ------------------------------------------------

// A host program at `inside` in the board. A dynamically linked one (the sanitizer build always
// is) brings its loader and libraries along, at the paths it names them by.
void put_program(const Board& board, const std::string& program, const char* inside) {
    board.copy_in(program, inside + 1);
    const std::string interp = interpreter_of(program);
    if (interp.empty()) {
        return;
    }
    for (const std::string& object : shared_objects_of(interp, program)) {
        board.copy_in(object, object.substr(1));
    }
}

void put_launcher(const Board& board, const RunOptions& options) {
    put_confirm(board, options.confirm);
    if (options.ppc) {
        if (options.qemu.empty()) {
            fail(
                "--ppc needs a static qemu-ppc (Debian package qemu-user-static; "
                "MP_QEMU_PPC_STATIC names it)");
        }
        board.copy_in(options.launcher, BOARD_LAUNCHER_PPC + 1);
        board.copy_in(options.qemu, BOARD_QEMU + 1);
        return;
    }
    put_program(board, options.launcher, BOARD_LAUNCHER);
}

}  // namespace

// ---- The board's own network namespace under a name ---------------------------------------------

namespace {

// True when `pin` pins a network namespace that no process is in (a killed run's), which is
// then unmounted and removed. Any other file there, or a namespace in use, stays.
bool left_by_a_killed_run(const std::string& pin) {
    struct stat pinned {};
    struct statfs fs {};
    if (::stat(pin.c_str(), &pinned) != 0 || ::statfs(pin.c_str(), &fs) != 0 ||
        fs.f_type != NSFS_MAGIC) {
        return false;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    while (const dirent* e = proc ? ::readdir(proc.get()) : nullptr) {
        struct stat ns {};
        const std::string net = std::string("/proc/") + e->d_name + "/ns/net";
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9' && ::stat(net.c_str(), &ns) == 0 &&
            ns.st_dev == pinned.st_dev && ns.st_ino == pinned.st_ino) {
            return false;
        }
    }
    if (::umount2(pin.c_str(), MNT_DETACH) != 0 || ::unlink(pin.c_str()) != 0) {
        fail_errno(pin, "removing the namespace a killed run left");
    }
    std::fprintf(stderr, "mpboard: %s: removed, a killed run had left it (no process was in it)\n",
                 pin.c_str());
    return true;
}

}  // namespace

NetnsPin::NetnsPin(const std::string& name) {
    if (name.empty()) {
        return;
    }
    if (::geteuid() != 0) {
        fail("--netns needs root: " + std::string(NETNS_DIR) + " is the host's");
    }
    if (name == "." || name == ".." || name.find('/') != std::string::npos) {
        usage_fail("--netns " + name + ": not a namespace name");
    }
    make_dirs(NETNS_DIR);
    path_ = std::string(NETNS_DIR) + "/" + name;
    if (exists(path_) && !left_by_a_killed_run(path_)) {
        fail(path_ + ": a network namespace of that name exists already");
    }
}

NetnsPin::~NetnsPin() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
    if (created_) {
        ::unlink(path_.c_str());
    }
}

void NetnsPin::pin(pid_t jail_init) {
    if (!base::UniqueFd(::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0))) {
        throw std::runtime_error(path_ + ": " + std::strerror(errno));
    }
    created_ = true;
    const std::string ns = "/proc/" + std::to_string(jail_init) + "/ns/net";
    if (::mount(ns.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error("bind-mounting " + ns + " on " + path_ + ": " +
                                 std::strerror(errno));
    }
    mounted_ = true;
}

namespace {

// ---- The console
// ----------------------------------------------------------------------------------

struct Console {
    std::string tty;          // host path of the caller's terminal, when standard input is one
    bool foreground = false;  // the caller holds the terminal's foreground
    // The terminal as the caller had it, given back after the board (which may set any speed,
    // mode or size on its console).
    bool saved = false;
    termios settings{};
    winsize size{};
};

Console caller_console() {
    Console c;
    if (::isatty(STDIN_FILENO) == 0) {
        return c;
    }
    const char* name = ::ttyname(STDIN_FILENO);
    if (name != nullptr) {
        c.tty = name;
    }
    c.foreground = ::tcgetpgrp(STDIN_FILENO) == ::getpgrp();
    c.saved = ::tcgetattr(STDIN_FILENO, &c.settings) == 0 &&
              ::ioctl(STDIN_FILENO, TIOCGWINSZ, &c.size) == 0;
    return c;
}

// Moves the terminal's foreground to the calling process's group. A process outside the
// foreground gets SIGTTOU for this; it is blocked for the moment.
void take_foreground() {
    sigset_t block;
    sigset_t saved;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    ::sigprocmask(SIG_BLOCK, &block, &saved);
    ::tcsetpgrp(STDIN_FILENO, ::getpgrp());
    ::sigprocmask(SIG_SETMASK, &saved, nullptr);
}

void give_terminal_back(const Console& console) {
    if (!console.saved) {
        return;
    }
    sigset_t block;
    sigset_t saved;
    sigemptyset(&block);
    sigaddset(&block, SIGTTOU);
    ::sigprocmask(SIG_BLOCK, &block, &saved);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &console.settings);
    ::ioctl(STDIN_FILENO, TIOCSWINSZ, &console.size);
    ::sigprocmask(SIG_SETMASK, &saved, nullptr);
}

// ---- Inside the jail
// ------------------------------------------------------------------------------

// The environment of the board's processes: the caller's own is the workstation's.
void board_environment() {
    const char* term = std::getenv("TERM");
    const std::string keep_term = term != nullptr ? term : "vt100";
    std::vector<std::string> sanitizer_options;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string_view var = *e;
        if (var.starts_with("ASAN_OPTIONS=") || var.starts_with("UBSAN_OPTIONS=") ||
            var.starts_with("LSAN_OPTIONS=")) {
            sanitizer_options.emplace_back(var);
        }
    }
    ::clearenv();
    ::setenv("PATH", "/sbin:/usr/sbin:/bin:/usr/bin", 1);
    ::setenv("HOME", "/root", 1);
    ::setenv("SHELL", "/bin/sh", 1);
    ::setenv("TERM", keep_term.c_str(), 1);
    for (const std::string& var : sanitizer_options) {
        const auto eq = var.find('=');
        ::setenv(var.substr(0, eq).c_str(), var.substr(eq + 1).c_str(), 1);
    }
}

// The board process's set-up after the jail is entered; throws std::runtime_error.
void prepare_board_process(const std::optional<std::string>& conf_override,
                           const Console& console) {
    if (conf_override) {
        write_text_atomic(RUN_CONF, *conf_override);
        if (::mount(RUN_CONF, "/etc/board.conf", nullptr, MS_BIND, nullptr) != 0) {
            throw std::runtime_error(std::string("bind-mounting this run's configuration: ") +
                                     std::strerror(errno));
        }
    }
    // The launcher leads a process group of the board's own, in the terminal's foreground: the
    // interrupt key reaches it, and the board's shell finds a group it can give the terminal
    // back to when it ends.
    if (!console.tty.empty() && console.foreground) {
        ::setpgid(0, 0);
        take_foreground();
    }
    board_environment();
    if (::chdir("/") != 0) {
        throw std::runtime_error(std::string("chdir /: ") + std::strerror(errno));
    }
    sb::lock_down();
}

[[noreturn]] void die_inside(const std::string& message) {
    std::fprintf(stderr, "mpboard: %s\n", message.c_str());
    std::fflush(stderr);
    ::_exit(127);
}

// Runs `inside` in the board's jail; returns the wait status of the program outside.
template <class Inside>
int in_jail(const Board& board, const Console& console, NetnsPin* netns, const BoardLimits& limits,
            Inside&& inside) {
    sb::JailOptions jail;
    jail.console = console.tty;
    jail.ignore_sigint = true;
    jail.locked = true;
    jail.end_on_signals = true;
    jail.pids_max = limits.pids_max;
    jail.memory_max = limits.memory_max;
    jail.tmp_size = limits.tmp_size;
    if (netns != nullptr && netns->wanted()) {
        jail.on_ready = [netns](pid_t init) { netns->pin(init); };
    }
    board.make_private();
    const sb::JailResult result = sb::enter_jail(board.fd(), board.dir(), jail);
    switch (result.side) {
        case sb::JailResult::Side::inside:
            try {
                inside();
            } catch (const std::exception& e) {
                die_inside(e.what());
            }
            die_inside("the board's program returned");
        case sb::JailResult::Side::failed:
            board.clear_set_id_bits();
            fail(board.dir() + ": " + result.error);
        case sb::JailResult::Side::outside:
            break;
    }
    if (!console.tty.empty() && console.foreground) {
        take_foreground();
    }
    give_terminal_back(console);
    // No setuid or setgid file of the board's making outlives the run on the workstation.
    board.clear_set_id_bits();
    // SIGTERM or a hang-up ended the board, or came while mpboard tidied up: mpboard ends the
    // same way, once it has.
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    for (const int sig : {SIGTERM, SIGHUP}) {
        if (result.caller_signal == 0 && sigismember(&pending, sig) == 1) {
            return sig;
        }
    }
    return result.caller_signal != 0 ? result.caller_signal : result.wait_status;
}

// A power-on: the RAM filesystem starts empty.
void clear_ram_filesystem(const Board& board) {
    board.make_dirs("tmp");
    board.empty_dir("tmp");
}

}  // namespace

void put_confirm(const Board& board, const std::string& confirm) {
    if (confirm.empty() || !exists(confirm)) {
        fail((confirm.empty() ? std::string("(none)") : confirm) +
             ": no mplaunch-confirm to put in the board (MPBOARD_CONFIRM names one)");
    }
    put_program(board, confirm, BOARD_CONFIRM);
}

int run_board(const Board& board, const RunOptions& options) {
    if (options.launcher.empty()) {
        fail(options.ppc
                 ? "no powerpc launcher to run (--launcher or MPBOARD_PPC_LAUNCHER names one)"
                 : "no launcher to run (--launcher or MPBOARD_LAUNCHER names one)");
    }
    put_launcher(board, options);
    clear_ram_filesystem(board);

    std::optional<std::string> conf_override;
    if (options.clock_scale) {
        conf_override =
            conf_with(board.read_text("etc/board.conf"), "clock.scale", *options.clock_scale);
    }
    const Console console = caller_console();
    NetnsPin netns(options.netns);
    std::fflush(nullptr);
    return in_jail(board, console, &netns, options.limits, [&] {
        prepare_board_process(conf_override, console);
        std::vector<std::string> args;
        if (options.ppc) {
            args = {BOARD_QEMU, BOARD_LAUNCHER_PPC};
        } else {
            args = {BOARD_LAUNCHER};
        }
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        die_inside(std::string("cannot start ") + argv[0] +
                   " in the board: " + std::strerror(errno));
    });
}

int install_on_board(const Board& board, const InstallOptions& options) {
    // The package arrives where a download puts it.
    board.make_dirs("tmp");
    board.write("tmp/image", read_file(options.package));

    const Console console = caller_console();
    std::fflush(nullptr);
    // The package is in tmp/ already: the board's own.
    return in_jail(board, console, nullptr, {.tmp_size = ""}, [&] {
        prepare_board_process(std::nullopt, console);
        if (options.slot != 0) {
            // The slot goes in as the operator's answer to the installer's question.
            std::array<int, 2> fds{};
            if (::pipe(fds.data()) != 0) {
                throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
            }
            const base::UniqueFd answer_out(fds[0]);
            base::UniqueFd answer_in(fds[1]);
            const std::string answer = std::to_string(options.slot) + "\n";
            if (!base::write_all(answer_in.get(), bytes_of(answer)) || answer_in.close() != 0 ||
                ::dup2(answer_out.get(), STDIN_FILENO) < 0) {
                throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
            }
        }
        launch::connect_hooks();
        const int installed =
            install_package_on_board("/tmp/image", options.check_versions ? 1 : 0, 0);
        std::fflush(nullptr);
        ::_exit(installed == 1 ? EXIT_OK : EXIT_FAILED);
    });
}

int xmodem_receive_on_board(const Board& board, const std::string& file) {
    const Console console = caller_console();
    if (console.tty.empty()) {
        fail(
            "xmodem-receive: standard input is not a terminal: the board's serial line is its "
            "console");
    }
    // Unlike a run, no power-on: what /tmp holds stays, and so does the file afterwards.
    std::fflush(nullptr);
    return in_jail(board, console, nullptr, {.tmp_size = ""}, [&] {
        prepare_board_process(std::nullopt, console);
        const int received = Xmodem1K(file.c_str());
        std::fflush(nullptr);
        ::_exit(received > 0 ? EXIT_OK : EXIT_FAILED);
    });
}

}  // namespace mpboard
