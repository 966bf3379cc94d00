// The steps of the launcher's start-up, visible to the launch module's own files and its tests.
#pragma once

#include <cstdint>
#include <cstdio>

#include "launch/launch.hpp"

// The whole start-up: signal handler, buses, flash, boot settings, /user, the optional rescue
// menu and diagnostics, the slot choice and the boot attempts. Ends in a launch or a reset.
[[noreturn]] void launcher_main();

// SIGINT only raises sig_quit_raised: installed without SA_RESTART, so a console read that the
// interrupt key breaks fails with EINTR instead of going on waiting.
int sig_init();
void sig_handler(int signum);

// The slot to boot, 1 or 2, from the VPD slot byte; any value but 2 means slot 1.
int which_image();

// One boot attempt from image slot `slot` (1 or 2). Returns 0 when the caller is to try the
// other slot; otherwise the application takes over or the board is reset.
int extract_image(const BootSettings& settings, int slot);

// Walks the records of `fp` from its start to the first application or diagnostics record:
// 1 with its 20-byte probe in `header` and the stream at its first byte, 0 when there is none.
int parse_image(std::FILE* fp, std::uint8_t* header);

// The boot settings in the U-Boot environment partition (the initial ones without flash).
BootSettings parse_uboot_env();

// Puts the debugger at /tmp/gdb, taken from the first record of the other slot's file.
int extract_gdb(const BootSettings& settings, int slot);

namespace launch {

// The operator's interactive shell on the console; the launcher waits until it ends.
void operator_shell();

}  // namespace launch
