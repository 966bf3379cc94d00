#include "vm/vm.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string_view>

#include "base/partitions.hpp"
#include "base/unique_fd.hpp"
#include "create.hpp"
#include "elf.hpp"
#include "files.hpp"
#include "platform/sandbox/board_description.hpp"
#include "vm/clock.hpp"
#include "vm/device_tree.hpp"
#include "vm/flash.hpp"
#include "vm/initramfs.hpp"
#include "vm/net.hpp"

namespace mpboard {

// The machine's PID 1 (vm_init.sh, compiled in).
extern const char* const VM_INIT;

namespace {

namespace fs = std::filesystem;

// SIGTERM or SIGHUP that reached mpboard while the machine ran: the machine ends first, then the
// terminal gets its settings back, then mpboard ends by that signal.
volatile sig_atomic_t stopped_by = 0;
void stop(int signal) {
    stopped_by = signal;
}

constexpr const char* VM_LAUNCHER = "bin/mplaunch";
constexpr const char* VM_CONFIRM = "usr/bin/mplaunch-confirm";
constexpr const char* VM_STATUS = "usr/bin/mplaunch-status";
// The /user flash (user/ goes in with the initramfs and comes out through the way out).
constexpr unsigned USER_FLASH_KIB = 16384;
// Stand-ins that the machine's kernel makes real: its own mount, and a reboot that ends it.
// The console is the launcher's alone, as on a jailed board; a kernel panic ends the machine.
// Under TCG the kernel's TSC calibration, its timer check and its speculation mitigations
// (page-table switches on every entry) cost seconds of the boot: the TSC is the emulator's.
constexpr const char* KERNEL_ARGS =
    "console=ttyS0 loglevel=0 panic=-1 mitigations=off tsc=reliable no_timer_check "
    "lpj=4000000";
// qemu's e500 machine makes its first UART the firmware's console (the device tree's stdout-path),
// where the kernel's early debug output (udbg) writes its progress lines before any console=
// applies: that UART goes nowhere, and the board's console is the second, which the machine's
// init names /dev/ttyS0 (mp_uart), as the launcher opens it.
constexpr const char* KERNEL_ARGS_PPC = "console=ttyS1 loglevel=0 panic=-1 mp_uart=ttyS1";
const std::set<std::string_view> REAL_IN_VM = {"reboot", "halt", "poweroff", "mount", "umount"};

// The caller's terminal is the serial line when both standard streams are that one terminal:
// qemu's tty chardev then passes every speed and framing switch of the machine's UART on to it as
// a change of its settings, as the launcher makes them itself on a jailed board. Pipes and files
// get the UART's bytes through stdio.
bool serial_line_is_terminal() {
    struct stat in {};
    struct stat out {};
    return ::isatty(0) == 1 && ::isatty(1) == 1 && ::fstat(0, &in) == 0 && ::fstat(1, &out) == 0 &&
           in.st_rdev == out.st_rdev;
}

std::string fd_path(const base::UniqueFd& fd) {
    return "/proc/self/fd/" + std::to_string(fd.get());
}

// What differs between the two machines, beside the programs and the kernel in VmOptions.
struct MachineKind {
    const char* kernel_file;  // in VmOptions::kernel
    const char* kernel_args;
    std::vector<std::string> qemu_machine;  // with the UARTs before the console's
    const char* modules;     // loaded by the machine's init before the flash is made (the
                             // powerpc kernel has its drivers built in)
    const char* second_bus;  // the SoC's or chipset's own I2C controller, after our bus 0
    const char* user_mark;   // which machine wrote /user's flash (vm/flash.hpp)
};

MachineKind kind_of(VmArch arch) {
    if (arch == VmArch::ppc) {
        // The e500mc core has a classic FPU: the board build's hard-float code runs as it is,
        // where qemu's default e500v2 (SPE, no FPU) would need the kernel's FPU emulation.
        return {"vmlinux",
                KERNEL_ARGS_PPC,
                {"-machine", "ppce500", "-cpu", "e500mc", "-chardev", "null,id=firmware", "-serial",
                 "chardev:firmware"},
                "",
                "i2c-mpc",
                "be"};
    }
    return {"vmlinuz",          KERNEL_ARGS,
            {"-machine", "pc"}, "virtio_pci,phram,mtdblock,jffs2,i2c-dev,e1000",
            "i2c-piix4",        "in"};
}

// A program at `inside`, with its loader and shared libraries: a host program's at the paths it
// names, a powerpc one's from its toolchain's root.
void add_program(Initramfs& ramfs, const std::string& program, const std::string& inside,
                 const VmOptions& options) {
    ramfs.file(inside, read_file(program), 0755);
    if (options.arch == VmArch::ppc) {
        for (const ForeignObject& object : foreign_objects_of(program, options.sysroot)) {
            ramfs.file(object.inside.substr(1), read_file(object.host), 0755);
        }
        return;
    }
    const std::string interp = interpreter_of(program);
    if (interp.empty()) {
        return;
    }
    for (const std::string& object : shared_objects_of(interp, program)) {
        ramfs.file(object.substr(1), read_file(object), 0755);
    }
}

// A host directory tree (the kernel's modules) under `inside`.
void add_tree(Initramfs& ramfs, const std::string& host, const std::string& inside) {
    std::vector<fs::path> entries;
    for (const auto& e : fs::recursive_directory_iterator(host)) {
        entries.push_back(e.path());
    }
    std::sort(entries.begin(), entries.end());
    for (const fs::path& p : entries) {
        const std::string at = inside + "/" + fs::relative(p, host).string();
        if (fs::is_directory(fs::symlink_status(p))) {
            ramfs.dir(at);
        } else if (fs::is_regular_file(fs::symlink_status(p))) {
            ramfs.file(at, read_file(p.string()));
        }
    }
}

// The board's user/ under `inside` (/run/user-in): directories, regular files and symbolic links
// with their owners, modes and times, read through descriptors that follow no link; at most
// `room` bytes of files, as /user's flash holds no more.
void add_user(Initramfs& ramfs, const Board& board, int dir, const std::string& inside,
              const std::string& shown, int depth, std::uint64_t& room) {
    if (depth > 200) {
        fail(shown + ": more than 200 directories deep");
    }
    std::vector<std::string> names;
    DIR* listing = ::fdopendir(::fcntl(dir, F_DUPFD_CLOEXEC, 0));
    if (listing == nullptr) {
        fail_errno(shown);
    }
    while (const dirent* e = ::readdir(listing)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names.emplace_back(e->d_name);
        }
    }
    ::closedir(listing);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string at = inside + "/" + name;
        const std::string path = shown + "/" + name;
        struct stat st {};
        if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            fail_errno(path);
        }
        const Initramfs::Owner owner{st.st_uid, st.st_gid, static_cast<std::uint32_t>(st.st_mtime)};
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlinkat(dir, name.c_str(), target, sizeof target);
            if (n <= 0 || n == sizeof target) {
                fail_errno(path);
            }
            ramfs.symlink(std::string(target, static_cast<std::size_t>(n)), at, owner);
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            std::fprintf(stderr, "mpboard: %s: not a file, directory or link, left out\n",
                         path.c_str());
            continue;
        }
        const base::UniqueFd fd(::openat(dir, name.c_str(),
                                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC |
                                             (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0)));
        if (!fd || ::fstat(fd.get(), &st) != 0) {
            fail_errno(path);
        }
        if (S_ISDIR(st.st_mode)) {
            ramfs.dir(at, st.st_mode & 07777, owner);
            add_user(ramfs, board, fd.get(), at, path, depth + 1, room);
        } else if (S_ISREG(st.st_mode)) {
            if (static_cast<std::uint64_t>(st.st_size) > room) {
                fail(path + ": user/ holds more than /user's flash");
            }
            std::vector<std::uint8_t> bytes = read_all(fd.get(), path);
            if (bytes.size() > room) {
                fail(path + ": user/ holds more than /user's flash");
            }
            room -= bytes.size();
            ramfs.file(at, bytes, st.st_mode & 07777, owner);
        }
    }
}

std::string read_line(const std::string& path) {
    const auto bytes = read_file(path);
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\n'));
}

std::vector<std::uint8_t> machine_root(const Board& board, const VmOptions& options,
                                       const std::string& release, bool user_in) {
    Initramfs ramfs;
    for (const char* d :
         {"bin", "sbin", "usr", "usr/bin", "usr/sbin", "usr/lib", "lib", "etc", "proc", "sys",
          "dev", "tmp", "user", "board", "run", "root", "var", "var/log"}) {
        ramfs.dir(d);
    }
    const std::string init = VM_INIT;
    ramfs.file("init", std::vector<std::uint8_t>(init.begin(), init.end()), 0755);
    ramfs.file("bin/busybox",
               options.busybox.empty() ? board.read("bin/busybox") : read_file(options.busybox),
               0755);
    for (const StandIn& s : STANDINS) {
        if (REAL_IN_VM.contains(s.name)) {
            continue;
        }
        const std::string name = s.name;
        const std::string text = s.text;
        ramfs.file(name == "gdb" ? "usr/lib/mpboard/gdb" : "bin/" + name,
                   std::vector<std::uint8_t>(text.begin(), text.end()), 0755);
    }
    ramfs.symlink("../../bin/busybox", "usr/bin/rx");
    if (!options.recover) {
        add_program(ramfs, options.launcher, VM_LAUNCHER, options);
    }
    if (!options.recover && !options.confirm.empty()) {
        add_program(ramfs, options.confirm, VM_CONFIRM, options);
    }
    if (!options.recover && !options.status.empty()) {
        add_program(ramfs, options.status, VM_STATUS, options);
    }
    add_tree(ramfs, options.kernel + "/modules/lib/modules/" + release, "lib/modules/" + release);
    add_clock_scale(ramfs, options.clock_scale, options.clock_library);
    ramfs.dir("run/user-in");
    const base::UniqueFd user = board.open_in("user", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (user_in && user) {
        std::uint64_t room = std::uint64_t{USER_FLASH_KIB} * 1024;
        add_user(ramfs, board, user.get(), "run/user-in", board.path("user"), 0, room);
    }
    return ramfs.finish();
}

// What the machine boots with, checked before anything is made.
struct Machine {
    std::string release;  // the kernel's
    std::uint32_t erase = 0;
    bool root = false;  // qemu drops root for `runas`
    std::string runas;
};

Machine check_machine(const Board& board, const VmOptions& options) {
    const bool ppc = options.arch == VmArch::ppc;
    if (!exists(options.kernel + "/" + kind_of(options.arch).kernel_file) ||
        !exists(options.kernel + "/release")) {
        fail(options.kernel + ": no kernel for the " + arch_name(options.arch) +
             " virtual machine there (" +
             (ppc ? "bash scripts/lib/vm-ppc.sh builds it; MPBOARD_VM_PPC_DIR"
                  : "bash scripts/lib/vm.sh fetches it; MPBOARD_VM_DIR") +
             " names another directory)");
    }
    if (!options.recover && (options.launcher.empty() || !exists(options.launcher))) {
        fail("no " + std::string(arch_name(options.arch)) +
             " board build of the launcher to run (" + options.launcher + "; --launcher or " +
             (ppc ? "MPBOARD_VM_PPC_LAUNCHER" : "MPBOARD_VM_LAUNCHER") + " names one)");
    }
    if (ppc && (options.busybox.empty() || !exists(options.busybox))) {
        fail("no powerpc BusyBox for the machine (" + options.busybox +
             "; bash scripts/lib/vm-ppc.sh builds it, MPBOARD_VM_PPC_BUSYBOX names another)");
    }
    Machine m;
    m.release = read_line(options.kernel + "/release");
    check_flash_driver(options.kernel + "/modules/lib/modules/" + m.release);
    const auto config = platform::sandbox::read_conf(
        board.exists("etc/board.conf") ? board.read_text("etc/board.conf") : "");
    m.erase = config.erase_size;
    if (m.erase == 0 || m.erase % 1024 != 0) {
        fail("mtd.erase_size " + std::to_string(m.erase) + ": not a whole number of KiB");
    }
    // qemu drops root for this account once it has opened what it needs (kernel, initramfs,
    // flash, terminal, sockets): the machine's way into the workstation then has no rights.
    m.root = ::geteuid() == 0;
    const char* const vm_user = std::getenv("MPBOARD_VM_USER");
    m.runas = vm_user != nullptr && *vm_user != '\0' ? vm_user : "nobody";
    if (m.root && ::getpwnam(m.runas.c_str()) == nullptr) {
        fail("no account " + m.runas + " for qemu to run as (MPBOARD_VM_USER names one)");
    }
    return m;
}

// The machine's root in a memory file qemu reads.
base::UniqueFd write_initramfs(const Board& board, const VmOptions& options, const Machine& machine,
                               bool user_in) {
    base::UniqueFd initramfs(::memfd_create("mpboard-vm-initramfs", MFD_CLOEXEC));
    if (!initramfs) {
        fail_errno("memfd_create");
    }
    const auto root_bytes = machine_root(board, options, machine.release, user_in);
    if (::write(initramfs.get(), root_bytes.data(), root_bytes.size()) !=
        static_cast<ssize_t>(root_bytes.size())) {
        fail_errno("the machine's initramfs");
    }
    return initramfs;
}

std::string kernel_command_line(const VmOptions& options, const Machine& machine,
                                const VmFlash& flash) {
    const MachineKind kind = kind_of(options.arch);
    return std::string(kind.kernel_args) + " mp_erase=" + std::to_string(machine.erase) +
           " mp_flash=" + flash.pieces() + " mp_vpd=" + flash.vpd() +
           " mp_user_in=" + (flash.fresh() ? "1" : "0") +
           " mp_mode=" + (options.recover ? "recover" : "run") + " mp_modules=" + kind.modules +
           " mp_second_bus=" + kind.second_bus + " mp_mark=" + kind.user_mark;
}

// The e500 machine's device tree as qemu makes it for this kernel, initramfs and command line
// (qemu's dumpdtb, which ends qemu before the machine runs), its UARTs' clock set
// (vm/device_tree.hpp), in a memory file for qemu's dtb option. qemu writes it into run/,
// reached through a descriptor of that directory, so that nothing a board left there redirects
// the write.
base::UniqueFd e500_device_tree(const Board& board, const VmOptions& options,
                                const Machine& machine, const VmFlash& flash,
                                const base::UniqueFd& initramfs) {
    const base::UniqueFd run = board.open_in("run", O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!run) {
        fail_errno(board.path("run"));
    }
    static_cast<void>(::unlinkat(run.get(), "vm-dtb", 0));
    std::vector<std::string> args = {options.qemu,
                                     "-machine",
                                     "ppce500,dumpdtb=" + fd_path(run) + "/vm-dtb",
                                     "-cpu",
                                     "e500mc",
                                     "-accel",
                                     "tcg",
                                     "-m",
                                     "256",
                                     "-nodefaults",
                                     "-no-user-config",
                                     "-display",
                                     "none",
                                     "-kernel",
                                     options.kernel + "/" + kind_of(options.arch).kernel_file,
                                     "-initrd",
                                     fd_path(initramfs),
                                     "-append",
                                     kernel_command_line(options, machine, flash),
                                     "-serial",
                                     "null",
                                     "-serial",
                                     "null"};
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        fail_errno("fork");
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int null = ::open("/dev/null", O_RDWR);
        for (const int fd : {0, 1, 2}) {
            ::dup2(null, fd);
        }
        for (const int fd : {run.get(), initramfs.get()}) {
            ::fcntl(fd, F_SETFD, 0);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    const base::UniqueFd dumped(::openat(run.get(), "vm-dtb", O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    static_cast<void>(::unlinkat(run.get(), "vm-dtb", 0));
    struct stat st {};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !dumped ||
        ::fstat(dumped.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 ||
        st.st_size > 8 << 20) {
        fail(options.qemu + " did not make the machine's device tree (-machine dumpdtb)");
    }
    std::vector<std::uint8_t> dtb(static_cast<std::size_t>(st.st_size));
    if (::pread(dumped.get(), dtb.data(), dtb.size(), 0) != static_cast<ssize_t>(dtb.size())) {
        fail_errno("the machine's device tree");
    }
    if (set_uart_clocks(dtb, E500_UART_CLOCK) == 0) {
        fail("the machine's device tree has no UART with a clock to set");
    }
    base::UniqueFd tree(::memfd_create("mpboard-vm-dtb", MFD_CLOEXEC));
    if (!tree || ::write(tree.get(), dtb.data(), dtb.size()) != static_cast<ssize_t>(dtb.size())) {
        fail_errno("the machine's device tree");
    }
    return tree;
}

std::vector<std::string> qemu_command(const VmOptions& options, const Machine& machine,
                                      const VmFlash& flash, const VmNetwork& network,
                                      const base::UniqueFd& initramfs,
                                      const base::UniqueFd& device_tree, bool terminal) {
    const MachineKind kind = kind_of(options.arch);
    std::vector<std::string> args = {options.qemu};
    args.insert(args.end(), kind.qemu_machine.begin(), kind.qemu_machine.end());
    if (device_tree) {  // after "-machine NAME"
        args[2] += ",dtb=" + fd_path(device_tree);
    }
    args.insert(args.end(), {"-accel", "tcg", "-m", "256", "-nodefaults", "-no-user-config",
                             "-display", "none", "-no-reboot", "-kernel",
                             options.kernel + "/" + kind.kernel_file, "-initrd", fd_path(initramfs),
                             "-append", kernel_command_line(options, machine, flash), "-chardev",
                             options.recover ? "null,id=console"
                             : terminal      ? "serial,id=console,path=/proc/self/fd/0"
                                             : "stdio,id=console,signal=off",
                             "-serial", "chardev:console"});
    // No new processes, no obsolete or resource calls. Run by root, qemu changes to `runas` itself
    // once it has opened what it needs, which a ban of set*id calls would kill: that ban is for
    // callers that are not root (whose qemu has no other user to change to).
    args.insert(
        args.end(),
        {"-sandbox",
         std::string("on,obsolete=deny,spawn=deny,resourcecontrol=deny,elevateprivileges=") +
             (machine.root ? "allow" : "deny")});
    if (machine.root) {
        args.insert(args.end(), {"-runas", machine.runas});
    }
    const auto flash_args = flash.qemu_args();
    args.insert(args.end(), flash_args.begin(), flash_args.end());
    // eth0 and eth1: e1000 cards; no frame reaches a host interface.
    const std::vector<std::string> cards = network.qemu_args();
    args.insert(args.end(), cards.begin(), cards.end());
    return args;
}

// qemu makes the terminal raw but keeps its output processing, and the machine's own line
// discipline has already turned each line end into CR LF: the terminal adds nothing. qemu leaves
// the settings of a tty chardev as the machine last set them (and its stdio backend those of a
// terminal on standard input when it is killed), and the machine's modem control reaches a serial
// port's lines, so all of that is put back by restore(). qemu never sets the window size; the
// caller's own resizing during the run stands.
class KeptTerminal {
public:
    explicit KeptTerminal(bool terminal) {
        tty_in_ = ::tcgetattr(0, &kept_) == 0;
        modem_kept_ = terminal && ::ioctl(0, TIOCMGET, &modem_) == 0;
        if (terminal) {
            termios as_is = kept_;
            as_is.c_oflag = 0;
            ::tcsetattr(0, TCSANOW, &as_is);
        }
    }
    void restore() {
        if (tty_in_) {
            ::tcsetattr(0, TCSADRAIN, &kept_);
        }
        if (modem_kept_) {
            ::ioctl(0, TIOCMSET, &modem_);
        }
    }

private:
    termios kept_{};
    bool tty_in_ = false;
    int modem_ = 0;
    bool modem_kept_ = false;
};

// Starts qemu with `args`; returns the process to wait for.
pid_t start_qemu(std::vector<std::string>& args, const Machine& machine, bool terminal,
                 const VmFlash& flash, const base::UniqueFd& initramfs,
                 const base::UniqueFd& device_tree, const VmNetwork& network) {
    std::fflush(nullptr);
    // Run as root, qemu's change of user clears the parent-death signal: it then runs in a PID
    // namespace of its own whose first process (which keeps that signal) takes it along when
    // mpboard dies.
    const bool root = machine.root;
    const pid_t pid = root ? static_cast<pid_t>(::syscall(SYS_clone, CLONE_NEWPID | SIGCHLD,
                                                          nullptr, nullptr, nullptr, nullptr))
                           : ::fork();
    if (pid < 0) {
        fail_errno("fork");
    }
    if (pid != 0) {
        return pid;
    }
    // The machine does not outlive mpboard (a closed terminal, a killed test).
    ::prctl(PR_SET_PDEATHSIG, root ? SIGKILL : SIGTERM);
    const pid_t qemu = root ? ::fork() : 0;
    if (qemu < 0) {
        ::_exit(127);
    }
    if (qemu > 0) {
        static pid_t forward_to = 0;
        forward_to = qemu;
        struct sigaction pass {};
        pass.sa_handler = [](int signal) { ::kill(forward_to, signal); };
        ::sigaction(SIGTERM, &pass, nullptr);
        int qemu_status = 0;
        while (::waitpid(qemu, &qemu_status, 0) < 0 && errno == EINTR) {
        }
        ::_exit(WIFEXITED(qemu_status) ? WEXITSTATUS(qemu_status) : 128 + WTERMSIG(qemu_status));
    }
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Pipes or files: the machine has no way to the caller's terminal, not even as a
    // controlling terminal.
    if (!terminal) {
        ::setsid();
    }
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    for (const int fd : {flash.fd(), initramfs.get(), device_tree.get()}) {
        if (fd >= 0) {
            ::fcntl(fd, F_SETFD, 0);
        }
    }
    network.enter();
    ::execvp(argv[0], argv.data());
    std::fprintf(stderr, "mpboard: cannot start %s: %s\n", argv[0], std::strerror(errno));
    ::_exit(127);
}

// Waits for the machine's end (the interrupt key is the board's, SIGTERM and SIGHUP end the
// machine first); returns qemu's wait status.
int wait_for_machine(pid_t pid, KeptTerminal& terminal) {
    // The interrupt key is the board's: in a terminal qemu passes it on as a byte.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction old_int {};
    struct sigaction old_quit {};
    ::sigaction(SIGINT, &ignore, &old_int);
    ::sigaction(SIGQUIT, &ignore, &old_quit);
    struct sigaction on_stop {};
    on_stop.sa_handler = stop;
    ::sigaction(SIGTERM, &on_stop, nullptr);
    ::sigaction(SIGHUP, &on_stop, nullptr);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        ::kill(pid, SIGTERM);
    }
    terminal.restore();
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
    if (stopped_by != 0) {
        ::raise(stopped_by);
    }
    ::sigaction(SIGINT, &old_int, nullptr);
    ::sigaction(SIGQUIT, &old_quit, nullptr);
    return status;
}

}  // namespace

int run_board_vm(const Board& board, const VmOptions& options) {
    const Machine machine = check_machine(board, options);
    // The partitions, /user's flash and the way out, in one file the machine maps (vm/flash.hpp).
    const VmFlash flash(board, machine.erase, std::uint64_t{USER_FLASH_KIB} * 1024, options.arch);
    board.make_dirs("run");
    for (const char* old : {"run/vm-status", "run/vm-initramfs"}) {
        board.remove(old);  // left by an earlier mpboard, which shared the board directory
    }
    const base::UniqueFd initramfs =
        write_initramfs(board, options, machine, flash.fresh() && !options.recover);
    const bool terminal = !options.recover && serial_line_is_terminal();
    const VmNetwork network(board, options.netns);
    const base::UniqueFd device_tree =
        options.arch == VmArch::ppc ? e500_device_tree(board, options, machine, flash, initramfs)
                                    : base::UniqueFd();
    std::vector<std::string> args =
        qemu_command(options, machine, flash, network, initramfs, device_tree, terminal);
    KeptTerminal kept(terminal);
    const pid_t pid = start_qemu(args, machine, terminal, flash, initramfs, device_tree, network);
    const int status = wait_for_machine(pid, kept);
    board.clear_set_id_bits();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fail(options.qemu + " failed (" +
             (WIFEXITED(status) ? "status " + std::to_string(WEXITSTATUS(status))
                                : "signal " + std::to_string(WTERMSIG(status))) +
             ")");
    }
    // Only an orderly end takes the flash apart: what the machine handed out becomes user/.
    const std::string ended = flash.take_apart();
    const int code = std::atoi(ended.c_str());
    return (code & 0xFF) << 8;
}

}  // namespace mpboard
