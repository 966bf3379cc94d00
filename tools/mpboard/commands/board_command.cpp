#include "board_command.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "vm/flash.hpp"

namespace mpboard {

BoardArgs take_board(const Args& args, const std::string& help) {
    if (args.empty() || args[0].starts_with("--")) {
        std::fputs(help.c_str(), stderr);
        usage_fail("missing board directory");
    }
    return {args[0], Args(args.begin() + 1, args.end())};
}

std::string default_from(const char* env, const char* baked) {
    const char* v = std::getenv(env);
    return v != nullptr && *v != '\0' ? std::string(v) : std::string(baked);
}

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

std::string checked_clock_scale(const std::string& value) {
    char* end = nullptr;
    const double scale = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !(scale >= 0)) {
        usage_fail("--clock-scale: '" + value + "' is not a factor of 0 or more");
    }
    return value;
}

namespace {

// A program of the powerpc board build: MPBOARD_VM_PPC_<env>, else its place in that build.
std::string ppc_program(const char* env, const char* in_build) {
    const std::string build = MPBOARD_DEFAULT_VM_PPC_BUILD;
    return default_from(env, build.empty() ? "" : (build + "/" + in_build).c_str());
}

}  // namespace

VmOptions vm_options(const std::string& launcher, VmArch arch) {
    VmOptions vm;
    vm.arch = arch;
    if (arch == VmArch::ppc) {
        vm.launcher = ppc_program("MPBOARD_VM_PPC_LAUNCHER", "src/launch/mplaunch");
        vm.confirm = ppc_program("MPBOARD_VM_PPC_CONFIRM", "src/launch/mplaunch-confirm");
        vm.status = ppc_program("MPBOARD_VM_PPC_STATUS", "src/status/mplaunch-status");
        vm.clock_library =
            ppc_program("MPBOARD_VM_PPC_CLOCK", "tools/mpboard/libmpboard-vm-clock.so");
        vm.kernel = default_from("MPBOARD_VM_PPC_DIR", MPBOARD_DEFAULT_VM_PPC_DIR);
        vm.qemu = default_from("MPBOARD_QEMU_PPC_SYSTEM", "qemu-system-ppc");
        vm.busybox = default_from("MPBOARD_VM_PPC_BUSYBOX", MPBOARD_DEFAULT_VM_PPC_BUSYBOX);
        vm.sysroot = default_from("MPBOARD_PPC_SYSROOT", MPBOARD_DEFAULT_PPC_SYSROOT);
    } else {
        vm.launcher = default_from("MPBOARD_VM_LAUNCHER", MPBOARD_DEFAULT_VM_LAUNCHER);
        vm.confirm = default_from("MPBOARD_VM_CONFIRM", MPBOARD_DEFAULT_VM_CONFIRM);
        vm.status = default_from("MPBOARD_VM_STATUS", MPBOARD_DEFAULT_VM_STATUS);
        vm.kernel = default_from("MPBOARD_VM_DIR", MPBOARD_DEFAULT_VM_DIR);
        vm.qemu = default_from("MPBOARD_QEMU", "qemu-system-x86_64");
        vm.clock_library = default_from("MPBOARD_VM_CLOCK", MPBOARD_DEFAULT_VM_CLOCK);
    }
    if (!launcher.empty()) {
        vm.launcher = launcher;
    }
    return vm;
}

const Board& recovered(const Board& board) {
    if (const std::optional<VmArch> arch = vm_flash_left_by(board)) {
        std::fprintf(stderr, "mpboard: %s: bringing back the flash a cut of the %s machine left\n",
                     board.path(VM_FLASH).c_str(), arch_name(*arch));
        VmOptions vm = vm_options("", *arch);
        vm.recover = true;
        run_board_vm(board, vm);
    }
    return board;
}

}  // namespace mpboard
