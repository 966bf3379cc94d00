// `mpboard run DIR --vm`: the board build of the launcher on Debian's stock kernel in a
// qemu-system-x86_64 virtual machine, or (`--vm --ppc`) the powerpc board build on a kernel
// cross-built from Debian's source in qemu-system-ppc's e500 machine, with the kernel's own MTD,
// jffs2, i2c-dev and UART drivers over the board directory's files.
#pragma once

#include <optional>
#include <string>

#include "board.hpp"
#include "vm/flash.hpp"

namespace mpboard {

struct VmOptions {
    VmArch arch = VmArch::x86_64;
    std::string launcher;  // the board build mplaunch of that machine
    std::string confirm;   // the board build mplaunch-confirm; empty: none in the machine
    std::string status;    // the board build mplaunch-status; empty: none in the machine
    std::string kernel;    // directory with the kernel (x86-64: vmlinuz, powerpc: vmlinux),
                           // release and modules/ (scripts/lib/vm.sh, scripts/lib/vm-ppc.sh)
    std::string qemu;      // qemu-system-x86_64 or qemu-system-ppc
    std::string busybox;   // powerpc: its static BusyBox (the board's own is the workstation's)
    std::string sysroot;   // powerpc: where the board build's loader and libraries are
    std::string netns;     // eth1 on a tap in a new network namespace pinned under this name
    std::optional<std::string> clock_scale;  // factor for the machine's pauses (vm/clock.hpp)
    std::string clock_library;               // the pause library (mpboard-vm-clock)
    bool recover = false;  // only bring back the flash a cut left (vm/flash.hpp), no launcher
};

// Boots the board in a virtual machine on this process's standard input and output; returns a
// wait status (for exit_like): the launcher's exit status as the machine's init saw it.
int run_board_vm(const Board& board, const VmOptions& options);

}  // namespace mpboard
