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

// Puts the debugger at /tmp/gdb, taken from the first record of the other slot's file.
int extract_gdb(const BootSettings& settings, int slot);

namespace launch {

// The operator's interactive shell on the console; the launcher waits until it ends.
void operator_shell();

}  // namespace launch

// This boot's entry in the boot history (history/history.hpp), kept by the boot path's steps.
// Targets: "slot1", "slot2", "rescue-image" (an application record in the rescue partition),
// "diags" (a diagnostics record there), "download" (a package booted at once by the installer).
// Nothing is kept before begin (mpboard install runs the installer without a boot).
namespace launch::journal {

// This boot's entry, numbered after the history's last, once /user is mounted.
void begin();
// The slot the VPD names, which the boot tries first.
void chosen(int slot);
// The rescue menu is entered: saved at once.
void rescue_menu();
// A target passed over, with its verdict: "missing", "not-a-file", "attempts", "no-record",
// "crc", "signature", "below-floor", "floor-unknown", "no-tarball".
void tried(const char* target, const char* verdict);
void tried(int slot, const char* verdict);
// The target whose payload is being unpacked for the launch.
void booting(const char* target);
// The attempt that this boot of a slot on trial counted.
void counted(unsigned attempt);
// The debugger of the local-debugger mode, from `slot`: "used" or a verdict as for tried.
void debugger(int slot, const char* verdict);
// The application (or diagnostics) starts in `mode`: the target being unpacked booted; saved.
void launched(const char* mode);
// The board is reset: unless a launch was saved, the entry is saved with nothing booted (a
// target being unpacked failed to unpack).
void ended();

}  // namespace launch::journal
