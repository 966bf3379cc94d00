#include "board_jail.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "board_conf.hpp"
#include "elf.hpp"
#include "files.hpp"
#include "installer/installer.hpp"
#include "jail/jail.hpp"
#include "launch/launch.hpp"
#include "status/status.hpp"
#include "xmodem/xmodem.hpp"

extern char** environ;

namespace mpboard {

namespace {

// Where the launcher lives inside a board; copied there before every run, so a rebuilt launcher
// is the one that boots.
constexpr const char* BOARD_LAUNCHER = "/bin/mplaunch-sandbox";
constexpr const char* BOARD_LAUNCHER_PPC = "/bin/mplaunch-sandbox-ppc";
constexpr const char* BOARD_QEMU = "/usr/bin/qemu-ppc-static";
// The application's confirmation that it came up, where applications call it.
constexpr const char* BOARD_CONFIRM = "/usr/bin/mplaunch-confirm";
// The launcher's view of the board, for applications and operators inside it.
constexpr const char* BOARD_STATUS = "/usr/bin/mplaunch-status";
// This run's board.conf when --clock-scale overrides it: on the jail's own tmpfs, bind-mounted
// over /etc/board.conf inside the jail only.
constexpr const char* RUN_CONF = "/run/board.conf";

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
    put_board_programs(board, options.confirm, options.status);
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

// ---- The console --------------------------------------------------------------------------------

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

// ---- Inside the jail ----------------------------------------------------------------------------

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
    jail::lock_down();
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
    jail::JailOptions jail;
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
    const jail::JailResult result = jail::enter_jail(board.fd(), board.dir(), jail);
    switch (result.side) {
        case jail::JailResult::Side::inside:
            try {
                inside();
            } catch (const std::exception& e) {
                die_inside(e.what());
            }
            die_inside("the board's program returned");
        case jail::JailResult::Side::failed:
            board.clear_set_id_bits();
            fail(board.dir() + ": " + result.error);
        case jail::JailResult::Side::outside:
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

void put_board_programs(const Board& board, const std::string& confirm, const std::string& status) {
    if (confirm.empty() || !exists(confirm)) {
        fail((confirm.empty() ? std::string("(none)") : confirm) +
             ": no mplaunch-confirm to put in the board (MPBOARD_CONFIRM names one)");
    }
    if (status.empty() || !exists(status)) {
        fail((status.empty() ? std::string("(none)") : status) +
             ": no mplaunch-status to put in the board (MPBOARD_STATUS names one)");
    }
    put_program(board, confirm, BOARD_CONFIRM);
    put_program(board, status, BOARD_STATUS);
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
        const std::size_t slash = options.package.find_last_of('/');
        const int installed = install_package_on_board(
            "/tmp/image", options.check_versions ? 1 : 0, 0, options.allow_older,
            {.source = "mpboard",
             .from =
                 slash == std::string::npos ? options.package : options.package.substr(slash + 1)});
        std::fflush(nullptr);
        ::_exit(installed == 1 ? EXIT_OK : EXIT_FAILED);
    });
}

int status_on_board(const Board& board, bool json, const std::optional<std::string>& clock_scale) {
    std::optional<std::string> conf_override;
    if (clock_scale) {
        conf_override = conf_with(board.read_text("etc/board.conf"), "clock.scale", *clock_scale);
    }
    const Console console = caller_console();
    std::fflush(nullptr);
    return in_jail(board, console, nullptr, {.tmp_size = ""}, [&] {
        prepare_board_process(conf_override, console);
        const status::BoardStatus found = status::collect();
        const std::string out = json ? status::json(found) : status::text(found);
        const bool written = std::fputs(out.c_str(), stdout) >= 0 && std::fflush(stdout) == 0;
        ::_exit(written ? EXIT_OK : EXIT_FAILED);
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
