// mpboard run: boots a board, jailed or in a virtual machine.

#include <cstdlib>
#include <optional>

#include "board_command.hpp"
#include "board_jail.hpp"
#include "jail/jail.hpp"
#include "platform/sandbox/board_description.hpp"
#include "vm/flash.hpp"

namespace mpboard {
namespace {

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
    "                    under a static qemu-ppc (MP_QEMU_PPC_STATIC, else qemu-ppc-static);\n"
    "                    with --vm, the powerpc board build (MPBOARD_VM_PPC_LAUNCHER) on the\n"
    "                    kernel scripts/lib/vm-ppc.sh builds (MPBOARD_VM_PPC_DIR) in\n"
    "                    qemu-system-ppc's ppce500 machine with an e500mc core\n"
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

}  // namespace

std::string run_help() {
    return RUN_HELP;
}

int run_run(const Args& args) {
    const BoardArgs call = take_board(args, RUN_HELP);
    const Board board = Board::open(call.dir);
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(call.rest,
                               {.command = "run",
                                .options = {{"--clock-scale", true},
                                            {"--netns", true},
                                            {"--ppc"},
                                            {"--vm"},
                                            {"--launcher", true},
                                            {"--pids-max", true},
                                            {"--memory-max", true}},
                                .max_positional = 0},
                               ARG_RULES);
    RunOptions options;
    for (const host_tools::ParsedArgs::Item& item : parsed.items()) {
        if (item.option == "--clock-scale") {
            options.clock_scale = checked_clock_scale(item.value);
        } else if (item.option == "--pids-max" || item.option == "--memory-max") {
            const bool pids = item.option == "--pids-max";
            const auto n = parse_number(item.value, pids ? 1UL << 22 : 1UL << 50);
            if (!n || *n < (pids ? 8UL : 16UL << 20)) {
                usage_fail(item.option + ": '" + item.value + "' is not a number from " +
                           (pids ? "8 to 4194304" : "16777216 (16 MiB) to 2^50"));
            }
            if (pids) {
                options.limits.pids_max = static_cast<long>(*n);
            } else {
                options.limits.memory_max = static_cast<long long>(*n);
            }
        }
    }
    options.netns = parsed.value("--netns").value_or("");
    options.ppc = parsed.flag("--ppc");
    options.vm = parsed.flag("--vm");
    std::string launcher = parsed.value("--launcher").value_or("");
    if (options.vm) {
        const VmArch arch = options.ppc ? VmArch::ppc : VmArch::x86_64;
        // A flash the other machine's cut left goes back into the board's files first: its
        // /user flash mounts only on that machine.
        if (const std::optional<VmArch> left = vm_flash_left_by(board); left && *left != arch) {
            recovered(board);
        }
        VmOptions vm = vm_options(launcher, arch);
        vm.netns = options.netns;
        vm.clock_scale = options.clock_scale;
        jail::exit_like(run_board_vm(board, vm));
    }
    recovered(board);
    if (launcher.empty()) {
        launcher = options.ppc ? default_from("MPBOARD_PPC_LAUNCHER", MPBOARD_DEFAULT_PPC_LAUNCHER)
                               : default_from("MPBOARD_LAUNCHER", MPBOARD_DEFAULT_LAUNCHER);
    }
    options.launcher = launcher;
    options.confirm = default_from("MPBOARD_CONFIRM", MPBOARD_DEFAULT_CONFIRM);
    options.status = default_from("MPBOARD_STATUS", MPBOARD_DEFAULT_STATUS);
    if (options.ppc) {
        options.qemu = default_from("MP_QEMU_PPC_STATIC", MPBOARD_DEFAULT_QEMU_PPC);
    }
    jail::exit_like(run_board(board, options));
}

}  // namespace mpboard
