// mpboard: sandbox boards for the launcher, on a workstation.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/io.hpp"
#include "board.hpp"
#include "board_conf.hpp"
#include "board_jail.hpp"
#include "common/tool_main.hpp"
#include "create.hpp"
#include "describe.hpp"
#include "files.hpp"
#include "jail/jail.hpp"
#include "keys.hpp"
#include "platform/sandbox/board_description.hpp"
#include "uboot_env.hpp"
#include "vm.hpp"
#include "vm_flash.hpp"
#include "vm_net.hpp"

namespace mpboard {
namespace {

using Args = std::vector<std::string>;

const char* const MAIN_HELP =
    "usage: mpboard COMMAND DIR ...\n"
    "\n"
    "A sandbox board is a directory that is the whole world of the launcher: flash partitions,\n"
    "VPD EEPROM, I2C and CPLD as files, BusyBox and the board's stand-in programs, /user and\n"
    "/tmp. The launcher runs in it jailed (own user, mount, PID and network namespaces).\n"
    "\n"
    "  create DIR [--demo] [--force] [--busybox FILE]   make a board (flash and VPD erased)\n"
    "  env DIR [NAME=VALUE ...]                  print or set the U-Boot environment\n"
    "  vpd DIR [OFFSET[=VALUE] ...]              print or set VPD EEPROM bytes\n"
    "  slot DIR 1|2 PACKAGE|--remove             put a package into an image slot, or remove it\n"
    "  flash DIR PARTITION FILE                  raw bytes at offset 0 of a flash partition\n"
    "  conf DIR [KEY=VALUE ...]                  print or set etc/board.conf keys\n"
    "  run DIR [--clock-scale X] [--netns NAME] [--ppc] [--vm] [--launcher FILE]\n"
    "          [--pids-max N] [--memory-max BYTES]\n"
    "                                            boot the board: the launcher on this terminal\n"
    "  link DIR up|down                          switch eth0's link of a board's virtual machine\n"
    "  install DIR PACKAGE [--slot 1|2] [--check-versions]\n"
    "                                            the installer inside the board\n"
    "  xmodem-receive DIR FILE                   receive FILE by XMODEM-1K on the board's line\n"
    "  log DIR [--clear]                         print (or empty) the board log\n"
    "  keys DIR add FILE.pub|list|remove KEY     the board's public keys for signed packages\n"
    "  describe [--json]                         the partitions and board.conf keys of a board\n"
    "\n"
    "mpboard COMMAND --help explains each command.\n"
    "Exit status: 0 ok, 1 failure, 2 usage; run and install: the board program's own status.\n";

const char* const CREATE_HELP =
    "usage: mpboard create DIR [--demo] [--force] [--busybox FILE]\n"
    "\n"
    "Makes a board directory: BusyBox and the stand-in programs in bin/, the six flash\n"
    "partitions under dev/ (erased, 0xFF), the VPD EEPROM var/vpd.bin (erased), the I2C adapters\n"
    "and the CPLD, etc/board.conf with its defaults, an empty user/ and tmp/.\n"
    "\n"
    "  --demo     image slot 1 holds demo application 1.0.0.1, slot 2 demo application 2.0.0.2,\n"
    "             the rescue partition demo diagnostics 3.0.0.3; VPD byte 1 (slot to boot) is 1\n"
    "  --force    remake an existing board in DIR (its flash, VPD, user/ and tmp/ start afresh)\n"
    "  --busybox  the static BusyBox to use (default: MP_BUSYBOX, else the one scripts/test\n"
    "             builds)\n";

const char* const ENV_HELP =
    "usage: mpboard env DIR [NAME=VALUE ...]\n"
    "\n"
    "Without assignments, prints the variables of the U-Boot environment partition\n"
    "(dev/mtd-ubootenv), one NAME=VALUE per line. With them, sets each variable (NAME= removes\n"
    "it) and writes the partition back: a CRC-32 (zlib's, big-endian, over the rest of the\n"
    "partition), the NUL-terminated strings, an empty string, the rest erased.\n"
    "The launcher reads gdb, gdbserver, gdbport, shell, memchk and diagnostics in the first\n"
    "1280 bytes of the variables only; verify and bootlimit as whole variables anywhere\n"
    "before the empty string, the last of a name deciding.\n";

const char* const VPD_HELP =
    "usage: mpboard vpd DIR [OFFSET[=VALUE] ...]\n"
    "\n"
    "Prints \"OFFSET VALUE\" lines (decimal offset, hexadecimal value) of the VPD EEPROM: all\n"
    "256 bytes, or the offsets named. OFFSET=VALUE writes a byte. Numbers are decimal or 0x hex.\n"
    "Byte 1 is the image slot to boot, byte 59 the image that was booted (4: from flash).\n";

const char* const SLOT_HELP =
    "usage: mpboard slot DIR 1|2 PACKAGE|--remove\n"
    "\n"
    "Copies an image package into /user/images/image1 or image2 of the board, or removes it.\n"
    "The package is copied as it is (a damaged one too: the boot path is to find out).\n";

std::string flash_help() {
    return "usage: mpboard flash DIR PARTITION FILE\n"
           "\n"
           "Writes FILE's bytes at offset 0 of a flash partition and erases the rest (0xFF).\n"
           "PARTITION: " +
           partition_names(" or ") + ".\n";
}

const char* const CONF_HELP_START =
    "usage: mpboard conf DIR [KEY=VALUE ...]\n"
    "\n"
    "Without assignments, prints every key of etc/board.conf with its value (\"(default)\" where\n"
    "the file does not set it). KEY=VALUE sets a key, KEY= puts it back to its default.\n";

std::string conf_help() {
    return CONF_HELP_START + conf_keys_help();
}

const char* const RUN_HELP =
    "usage: mpboard run DIR [--clock-scale X] [--netns NAME] [--ppc] [--vm] [--launcher FILE]\n"
    "                       [--pids-max N] [--memory-max BYTES]\n"
    "\n"
    "Boots the board: mplaunch-sandbox runs in the board's jail with this process's standard\n"
    "input, output and error. When standard input is a terminal, it is the board's console and\n"
    "its /dev/ttyS0, and the interrupt key reaches the launcher (mpboard ignores it); the\n"
    "terminal's settings and size come back as they were when the board ends. Otherwise the\n"
    "board has no terminal of this process's (its /dev/tty is /dev/null). The board's /tmp is a\n"
    "tmpfs of 256 MiB that starts empty, as after a power-on; what it holds at the end is copied\n"
    "into DIR/tmp. DIR must belong to the caller and becomes mode 0700. SIGTERM and SIGHUP end\n"
    "the board; mpboard takes the set-id bits off its files and then ends the same way.\n"
    "Exits with the launcher's status.\n"
    "\n"
    "  --clock-scale X   factor for every pause of this run (0: instant); board.conf unchanged\n"
    "  --netns NAME      (root) pin the board's network namespace as /run/netns/NAME while it\n"
    "                    runs, so that `ip link set DEV netns NAME` can give it an interface;\n"
    "                    with --vm, qemu runs in it and the machine's eth1 is the tap device\n"
    "                    eth1 there (without it, eth0 and eth1 are wired to each other)\n"
    "  --ppc             run the static powerpc launcher (MPBOARD_PPC_LAUNCHER, or --launcher)\n"
    "                    under a static qemu-ppc (MP_QEMU_PPC_STATIC, else qemu-ppc-static)\n"
    "  --vm              boot the board build mplaunch (MPBOARD_VM_LAUNCHER, or --launcher) on\n"
    "                    Debian's kernel in qemu-system-x86_64 (MPBOARD_VM_DIR: the kernel\n"
    "                    scripts/lib/vm.sh fetches), the console on its ttyS0 (a terminal on\n"
    "                    both standard streams takes the UART's speed switches); the flash is\n"
    "                    in run/vm-flash while it runs, and a cut machine leaves it there for\n"
    "                    the next command to bring back; --clock-scale multiplies the pauses of\n"
    "                    its programs (sleep, nanosleep), not their waits for a peer or the\n"
    "                    operator\n"
    "  --launcher FILE   the launcher to run (default: MPBOARD_LAUNCHER, else this build's)\n"
    "  --pids-max N      the board's processes together (default 256), in a control group of\n"
    "                    the board's own (root, or a group delegated to the caller; else by\n"
    "                    RLIMIT_NPROC in the board's user namespace, and a line says so)\n"
    "  --memory-max BYTES  the board's memory together, its /tmp included (default 536870912,\n"
    "                    512 MiB; only where the control group could be made)\n";

const char* const LINK_HELP =
    "usage: mpboard link DIR up|down\n"
    "\n"
    "Switches the link of eth0 (the management port) of the board's virtual machine while\n"
    "`mpboard run DIR --vm` runs, as plugging or pulling its cable: the launcher's link test\n"
    "reads it through the kernel's network driver. A jailed board has no link to switch.\n";

const char* const INSTALL_HELP =
    "usage: mpboard install DIR PACKAGE [--slot 1|2] [--check-versions]\n"
    "\n"
    "Installs an image package into the board with the launcher's own installer, inside the\n"
    "board's jail, as the rescue console does after a download: the package is copied to the\n"
    "board's /tmp/image, each record goes to its flash partition or image slot, with the\n"
    "installer's own messages. Without --slot the installer asks for the slot on this terminal\n"
    "(an empty answer boots the application at once); --slot gives it that answer.\n"
    "--check-versions skips records equal to what is installed.\n"
    "Exit status 0 when something was installed, 1 otherwise.\n";

const char* const XMODEM_HELP =
    "usage: mpboard xmodem-receive DIR FILE\n"
    "\n"
    "Runs the launcher's built-in XMODEM-1K receiver inside the board on its serial line, which\n"
    "is this terminal (standard input must be one): it asks for the switch to 115200 bps and\n"
    "waits for Enter (a carriage return), receives FILE (a path inside the board, such as\n"
    "/tmp/image; the sender's padding stays in it), then asks for the switch back to 9600 bps\n"
    "and waits for Enter (a line feed). Pauses follow the board's clock.scale: keep it 1 for a\n"
    "real sender. /tmp is not emptied before or after, so FILE stays for a later command.\n"
    "Exit status 0 when the transfer ended normally with data, 1 when it was cancelled or\n"
    "brought nothing.\n";

const char* const LOG_HELP =
    "usage: mpboard log DIR [--clear]\n"
    "\n"
    "Prints var/log/board.log: one \"<kind>: <detail>\" line per thing that happened on the\n"
    "board (commands, VPD writes, faults, the stand-ins' calls), every byte but printable ASCII\n"
    "and the line ends shown as \\xHH. --clear empties it.\n";

const char* const DESCRIBE_HELP =
    "usage: mpboard describe [--json]\n"
    "\n"
    "Prints what every sandbox board is made of: each flash partition with its file under the\n"
    "board directory, the size create gives it and the installer's size limit, and each key of\n"
    "etc/board.conf with its default, the values it takes and its meaning. --json prints the\n"
    "same as one object for scripts: {\"partitions\": [{\"name\", \"file\", \"size\",\n"
    "\"install_limit\"} ...], \"conf\": [{\"key\", \"default\", \"values\", \"meaning\"} ...]}\n"
    "(an install_limit of 0: no record is installed there).\n";

std::string default_from(const char* env, const char* baked) {
    const char* v = std::getenv(env);
    return v != nullptr && *v != '\0' ? std::string(v) : std::string(baked);
}

// A number in decimal or 0x hexadecimal, within [0, max].
std::optional<unsigned long> parse_number(const std::string& text, unsigned long max) {
    if (text.empty() || text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (errno != 0 || end == nullptr || *end != '\0' || v > max) {
        return std::nullopt;
    }
    return v;
}

// Splits off the board directory: the first argument that is not an option.
std::string take_dir(Args& args, const std::string& help) {
    if (args.empty() || args[0].starts_with("--")) {
        std::fputs(help.c_str(), stderr);
        usage_fail("missing board directory");
    }
    std::string dir = args[0];
    args.erase(args.begin());
    return dir;
}

std::string option_value(const Args& args, std::size_t& i) {
    if (i + 1 >= args.size()) {
        usage_fail(args[i] + " needs a value");
    }
    return args[++i];
}

VmOptions vm_options(const std::string& launcher) {
    VmOptions vm;
    vm.launcher = launcher.empty()
                      ? default_from("MPBOARD_VM_LAUNCHER", MPBOARD_DEFAULT_VM_LAUNCHER)
                      : launcher;
    vm.confirm = default_from("MPBOARD_VM_CONFIRM", MPBOARD_DEFAULT_VM_CONFIRM);
    vm.kernel = default_from("MPBOARD_VM_DIR", MPBOARD_DEFAULT_VM_DIR);
    vm.qemu = default_from("MPBOARD_QEMU", "qemu-system-x86_64");
    vm.clock_library = default_from("MPBOARD_VM_CLOCK", MPBOARD_DEFAULT_VM_CLOCK);
    return vm;
}

// A cut of a virtual machine leaves the board's flash in run/vm-flash: its partition files and
// user/ get it back, through a short boot of the machine that only copies /user out, before a
// command reads or writes them.
const Board& recovered(const Board& board) {
    if (vm_flash_left(board)) {
        std::fprintf(stderr, "mpboard: %s: bringing back the flash a cut of the machine left\n",
                     board.path(VM_FLASH).c_str());
        VmOptions vm = vm_options("");
        vm.recover = true;
        run_board_vm(board, vm);
    }
    return board;
}

int cmd_create(Args args) {
    const std::string dir = take_dir(args, CREATE_HELP);
    CreateOptions options;
    options.busybox = default_from("MP_BUSYBOX", MPBOARD_DEFAULT_BUSYBOX);
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--demo") {
            options.demo = true;
        } else if (args[i] == "--force") {
            options.force = true;
        } else if (args[i] == "--busybox") {
            options.busybox = option_value(args, i);
        } else {
            usage_fail("create: unexpected argument '" + args[i] + "'");
        }
    }
    create_board(dir, options);
    put_confirm(Board::open(dir), default_from("MPBOARD_CONFIRM", MPBOARD_DEFAULT_CONFIRM));
    return EXIT_OK;
}

int cmd_env(Args args) {
    const Board board = recovered(Board::open(take_dir(args, ENV_HELP)));
    const base::Partition& part = base::partition(base::PartitionId::ubootenv);
    const std::string shown = board.path(platform::sandbox::board_file(part));
    const auto bytes = board.read_partition(part);
    ParsedEnv env = parse_env(bytes);
    if (args.empty()) {
        if (!env.crc_ok && !env.erased) {
            std::fprintf(stderr, "mpboard: %s: the environment's CRC does not match\n",
                         shown.c_str());
        }
        for (const auto& [name, value] : env.vars) {
            std::printf("%s=%s\n", name.c_str(), value.c_str());
        }
        return EXIT_OK;
    }
    for (const std::string& a : args) {
        const auto eq = a.find('=');
        if (eq == std::string::npos || eq == 0 || a.find('\0') != std::string::npos) {
            usage_fail("env: expected NAME=VALUE, got '" + a + "'");
        }
        assign_env(env.vars, a.substr(0, eq), a.substr(eq + 1));
    }
    std::vector<std::uint8_t> image;
    try {
        image = build_env(env.vars, bytes.size());
    } catch (const std::length_error& e) {
        fail(shown + ": " + e.what());
    }
    board.write_partition(part, image);
    std::size_t text = 0;
    for (const auto& [name, value] : env.vars) {
        text += name.size() + value.size() + 2;
    }
    if (text > LAUNCHER_ENV_WINDOW) {
        std::fprintf(stderr,
                     "mpboard: note: the variables take %zu bytes; the launcher reads only the "
                     "first %zu\n",
                     text, LAUNCHER_ENV_WINDOW);
    }
    return EXIT_OK;
}

int cmd_vpd(Args args) {
    const Board board = recovered(Board::open(take_dir(args, VPD_HELP)));
    auto vpd = board.read_vpd();
    if (args.empty()) {
        for (std::size_t i = 0; i < vpd.size(); ++i) {
            std::printf("%zu 0x%02x\n", i, vpd[i]);
        }
        return EXIT_OK;
    }
    bool wrote = false;
    for (const std::string& a : args) {
        const auto eq = a.find('=');
        const auto offset = parse_number(a.substr(0, eq), vpd.size() - 1);
        if (!offset) {
            usage_fail("vpd: '" + a.substr(0, eq) + "' is not an offset from 0 to 255");
        }
        if (eq == std::string::npos) {
            std::printf("%lu 0x%02x\n", *offset, vpd[*offset]);
            continue;
        }
        const auto value = parse_number(a.substr(eq + 1), 0xFF);
        if (!value) {
            usage_fail("vpd: '" + a.substr(eq + 1) + "' is not a byte value from 0 to 255");
        }
        vpd[*offset] = static_cast<std::uint8_t>(*value);
        wrote = true;
    }
    if (wrote) {
        board.write_vpd(vpd);
    }
    return EXIT_OK;
}

int cmd_slot(Args args) {
    const Board board = recovered(Board::open(take_dir(args, SLOT_HELP)));
    if (args.size() != 2 || (args[0] != "1" && args[0] != "2")) {
        std::fputs(SLOT_HELP, stderr);
        usage_fail("slot: expected 1 or 2, then a package or --remove");
    }
    const int slot = args[0][0] - '0';
    if (args[1] == "--remove") {
        board.remove(board.slot_file(slot));
        return EXIT_OK;
    }
    const auto package = read_file(args[1]);
    board.make_dirs("user/images");
    board.write(board.slot_file(slot), package);
    return EXIT_OK;
}

int cmd_flash(Args args) {
    const Board board = recovered(Board::open(take_dir(args, flash_help())));
    if (args.size() != 2) {
        std::fputs(flash_help().c_str(), stderr);
        usage_fail("flash: expected PARTITION FILE");
    }
    const auto part = base::partition_by_name(args[0]);
    if (!part) {
        usage_fail("flash: unknown partition '" + args[0] + "' (" + partition_names(", ") + ")");
    }
    board.write_partition(base::partition(*part), read_file(args[1]));
    return EXIT_OK;
}

int cmd_conf(Args args) {
    const Board board = Board::open(take_dir(args, conf_help()));
    const std::string file = "etc/board.conf";
    std::string text = board.read_text(file);
    if (args.empty()) {
        for (const platform::sandbox::ConfKey& k : platform::sandbox::conf_keys()) {
            const auto v = conf_value(text, k.key);
            std::printf("%s = %s\n", k.key,
                        v ? v->c_str() : (std::string(k.fallback) + " (default)").c_str());
        }
        return EXIT_OK;
    }
    for (const std::string& a : args) {
        const auto eq = a.find('=');
        if (eq == std::string::npos) {
            usage_fail("conf: expected KEY=VALUE, got '" + a + "'");
        }
        const std::string key = a.substr(0, eq);
        const std::string value = a.substr(eq + 1);
        if (platform::sandbox::conf_key(key) == nullptr) {
            usage_fail("conf: unknown key '" + key + "' (mpboard conf --help lists them)");
        }
        if (value.find_first_of("#\n") != std::string::npos) {
            usage_fail("conf: a value may not hold '#' or a newline");
        }
        text = conf_with(text, key, value);
    }
    board.write_text(file, text);
    return EXIT_OK;
}

int cmd_run(Args args) {
    const Board board = Board::open(take_dir(args, RUN_HELP));
    RunOptions options;
    std::string launcher;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--clock-scale") {
            options.clock_scale = option_value(args, i);
            char* end = nullptr;
            const double scale = std::strtod(options.clock_scale->c_str(), &end);
            if (options.clock_scale->empty() || *end != '\0' || !(scale >= 0)) {
                usage_fail("--clock-scale: '" + *options.clock_scale +
                           "' is not a factor of 0 or more");
            }
        } else if (args[i] == "--netns") {
            options.netns = option_value(args, i);
        } else if (args[i] == "--ppc") {
            options.ppc = true;
        } else if (args[i] == "--vm") {
            options.vm = true;
        } else if (args[i] == "--launcher") {
            launcher = option_value(args, i);
        } else if (args[i] == "--pids-max" || args[i] == "--memory-max") {
            const bool pids = args[i] == "--pids-max";
            const std::string v = option_value(args, i);
            const auto n = parse_number(v, pids ? 1UL << 22 : 1UL << 50);
            if (!n || *n < (pids ? 8UL : 16UL << 20)) {
                usage_fail(args[i - 1] + ": '" + v + "' is not a number from " +
                           (pids ? "8 to 4194304" : "16777216 (16 MiB) to 2^50"));
            }
            if (pids) {
                options.limits.pids_max = static_cast<long>(*n);
            } else {
                options.limits.memory_max = static_cast<long long>(*n);
            }
        } else {
            usage_fail("run: unexpected argument '" + args[i] + "'");
        }
    }
    if (options.vm) {
        if (options.ppc) {
            usage_fail(
                "run --vm: --ppc is for a jailed board (no powerpc kernel here; the powerpc "
                "unit tests and `run --ppc` prove the byte order)");
        }
        VmOptions vm = vm_options(launcher);
        vm.netns = options.netns;
        vm.clock_scale = options.clock_scale;
        platform::sandbox::exit_like(run_board_vm(board, vm));
    }
    recovered(board);
    if (launcher.empty()) {
        launcher = options.ppc ? default_from("MPBOARD_PPC_LAUNCHER", MPBOARD_DEFAULT_PPC_LAUNCHER)
                               : default_from("MPBOARD_LAUNCHER", MPBOARD_DEFAULT_LAUNCHER);
    }
    options.launcher = launcher;
    options.confirm = default_from("MPBOARD_CONFIRM", MPBOARD_DEFAULT_CONFIRM);
    if (options.ppc) {
        options.qemu = default_from("MP_QEMU_PPC_STATIC", MPBOARD_DEFAULT_QEMU_PPC);
    }
    platform::sandbox::exit_like(run_board(board, options));
}

int cmd_link(Args args) {
    const Board board = Board::open(take_dir(args, LINK_HELP));
    if (args.size() != 1 || (args[0] != "up" && args[0] != "down")) {
        std::fputs(LINK_HELP, stderr);
        usage_fail("link: expected up or down");
    }
    set_vm_link(board, args[0] == "up");
    return EXIT_OK;
}

int cmd_install(Args args) {
    const Board board = recovered(Board::open(take_dir(args, INSTALL_HELP)));
    InstallOptions options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--slot") {
            const std::string v = option_value(args, i);
            if (v != "1" && v != "2") {
                usage_fail("--slot: expected 1 or 2, got '" + v + "'");
            }
            options.slot = v[0] - '0';
        } else if (args[i] == "--check-versions") {
            options.check_versions = true;
        } else if (options.package.empty() && !args[i].starts_with("--")) {
            options.package = args[i];
        } else {
            usage_fail("install: unexpected argument '" + args[i] + "'");
        }
    }
    if (options.package.empty()) {
        std::fputs(INSTALL_HELP, stderr);
        usage_fail("install: missing package");
    }
    platform::sandbox::exit_like(install_on_board(board, options));
}

int cmd_xmodem_receive(Args args) {
    const Board board = Board::open(take_dir(args, XMODEM_HELP));
    if (args.size() != 1 || args[0].starts_with("--")) {
        std::fputs(XMODEM_HELP, stderr);
        usage_fail("xmodem-receive: expected FILE, a path inside the board");
    }
    platform::sandbox::exit_like(xmodem_receive_on_board(board, args[0]));
}

int cmd_log(Args args) {
    const Board board = Board::open(take_dir(args, LOG_HELP));
    const std::string file = "var/log/board.log";
    if (args.size() == 1 && args[0] == "--clear") {
        board.write_text(file, "");
        return EXIT_OK;
    }
    if (!args.empty()) {
        usage_fail("log: unexpected argument '" + args[0] + "'");
    }
    if (!board.exists(file)) {
        return EXIT_OK;
    }
    // The board writes its log, to any size: it goes through in pieces, and its control bytes
    // must not reach the caller's terminal.
    const base::UniqueFd log = board.open_in(file, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    struct stat st {};
    if (!log || ::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(board.path(file) + ": not a regular file that can be read");
    }
    std::array<std::uint8_t, 65536> chunk{};
    for (;;) {
        const base::Transfer t = base::read_full(log.get(), chunk);
        if (!t.ok()) {
            errno = t.error;
            fail_errno(board.path(file), "read");
        }
        std::string shown;
        for (std::size_t i = 0; i < t.done; ++i) {
            const std::uint8_t byte = chunk[i];
            if (byte == '\n' || (byte >= 0x20 && byte < 0x7F)) {
                shown.push_back(static_cast<char>(byte));
            } else {
                constexpr const char* kHex = "0123456789abcdef";
                shown.append({'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]});
            }
        }
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        if (t.done < chunk.size()) {
            return EXIT_OK;
        }
    }
}

int cmd_describe(Args args) {
    for (const std::string& a : args) {
        if (a != "--json") {
            usage_fail("describe: unexpected argument '" + a + "'");
        }
    }
    print_description(!args.empty());
    return EXIT_OK;
}

struct Command {
    const char* name;
    int (*run)(Args);
    std::string help;
};

std::vector<Command> commands() {
    return {{"create", cmd_create, CREATE_HELP},
            {"env", cmd_env, ENV_HELP},
            {"vpd", cmd_vpd, VPD_HELP},
            {"slot", cmd_slot, SLOT_HELP},
            {"flash", cmd_flash, flash_help()},
            {"conf", cmd_conf, conf_help()},
            {"run", cmd_run, RUN_HELP},
            {"link", cmd_link, LINK_HELP},
            {"install", cmd_install, INSTALL_HELP},
            {"log", cmd_log, LOG_HELP},
            {"xmodem-receive", cmd_xmodem_receive, XMODEM_HELP},
            {"describe", cmd_describe, DESCRIBE_HELP},
            {"keys", cmd_keys, KEYS_HELP}};
}

int dispatch(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(MAIN_HELP, stderr);
        return EXIT_USAGE;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(MAIN_HELP, stdout);
        return EXIT_OK;
    }
    for (const Command& c : commands()) {
        if (name != c.name) {
            continue;
        }
        Args args(argv + 2, argv + argc);
        for (const std::string& a : args) {
            if (a == "--help" || a == "-h") {
                std::fputs(c.help.c_str(), stdout);
                return EXIT_OK;
            }
        }
        return c.run(std::move(args));
    }
    std::fputs(MAIN_HELP, stderr);
    usage_fail("unknown command '" + name + "'");
}

}  // namespace
}  // namespace mpboard

int main(int argc, char** argv) {
    return host_tools::tool_main("mpboard", mpboard::EXIT_FAILED,
                                 [&] { return mpboard::dispatch(argc, argv); });
}
