// What the board commands share: the board directory from the command line, their argument rules,
// the programs a board gets (from the environment, else this build's), and the flash a cut of a
// virtual machine left.
#pragma once

#include <optional>
#include <string>

#include "board.hpp"
#include "commands.hpp"
#include "failure.hpp"
#include "vm/vm.hpp"

namespace mpboard {

// Misuse: "<command>: unexpected argument '<argument>'", exit status 2.
inline constexpr host_tools::ArgRules ARG_RULES{"unexpected argument", usage_fail};

// The board directory (the first argument, which is no option; without one the help goes to
// standard error and the command fails with "missing board directory") and the arguments after it.
struct BoardArgs {
    std::string dir;
    Args rest;
};
BoardArgs take_board(const Args& args, const std::string& help);

// The environment variable `env` when it is set and not empty, else the value this build baked in.
std::string default_from(const char* env, const char* baked);

// A number in decimal or 0x hexadecimal, within [0, max].
std::optional<unsigned long> parse_number(const std::string& text, unsigned long max);

// A --clock-scale value: a factor of 0 or more (misuse otherwise), as given.
std::string checked_clock_scale(const std::string& value);

// The virtual machine's programs: `launcher`, else MPBOARD_VM_LAUNCHER or this build's; for the
// powerpc machine MPBOARD_VM_PPC_LAUNCHER and the like, else the powerpc build's
// (MPBOARD_VM_PPC_BUILD when mpboard was configured).
VmOptions vm_options(const std::string& launcher, VmArch arch = VmArch::x86_64);

// A cut of a virtual machine leaves the board's flash in run/vm-flash: its partition files, VPD
// and user/ get it back, through a short boot of the machine that only hands /user out. The
// commands that read or write user/ call this first (slot, a jailed run, install); env and flash
// use their partition in the file (vm/flash.hpp); the others never need it (the VPD is no part
// of the file).
const Board& recovered(const Board& board);

}  // namespace mpboard
