// The pauses of a board's virtual machine, `run --vm --clock-scale X`: the pause library
// (vm_clock.c) and its factor in the machine's root.
#pragma once

#include <optional>
#include <string>

#include "vm/initramfs.hpp"

namespace mpboard {

// With a factor, the machine's dynamically linked programs (the launcher, its applications)
// load a library that multiplies their pauses by it (sleep, usleep, nanosleep and relative
// clock_nanosleep), not their waits for a peer or an operator (poll, select, read timeouts).
void add_clock_scale(Initramfs& ramfs, const std::optional<std::string>& factor,
                     const std::string& library);

}  // namespace mpboard
