// Boot control of the management processor: start-up, the boot settings read from the U-Boot
// environment, the choice and extraction of the image to boot, the rescue image kept in flash,
// and the hand-over to the application.
//
// The launcher never ends in the ordinary way: every path ends in the application taking over
// the processor (launch_image) or in a reboot (board_reset).
#pragma once

#include <cstdint>

#include "base/interrupt.hpp"  // sig_quit_raised, raised by sig_handler

// Boot flags, set only by parse_uboot_env from the boot loader's environment and read by the
// start-up, the boot attempts and the launch. Each keeps its initial value unless its key is
// present in the environment.
extern std::int32_t gdb_enable;        // run the application under the local debugger /tmp/gdb
extern std::int32_t gdbserver_enable;  // run it under /bin/gdbserver; also sets gdb_enable
extern std::int32_t gdbport;           // TCP port of gdbserver, 1234 unless set
extern std::uint8_t shell_enable;      // operator shell before the launch and before a reset
extern std::uint8_t memchk_enable;     // preload the memory checker
extern std::int32_t rescue_enable;     // rescue menu on the console at start-up
extern std::int32_t standalone_diags;  // boot the diagnostics image from flash at start-up
extern std::uint8_t boot_limit;        // unconfirmed boots before a slot is passed over; 0: off
extern std::uint8_t verify_enable;     // boot only slot files whose own signature a key verifies

// One second's pause, "reboot" through the shell, and exit status 0, whether or not the shell
// could be started.
[[noreturn]] void board_reset();

// Unpacks the application tarball in /tmp, closes the I2C buses and starts the application in
// the mode the boot flags select. `is_diags` non-zero: the tarball is a diagnostics image.
[[noreturn]] void launch_image(std::uint8_t is_diags);

// Boots the record of the rescue partition (and, for an application record, installs it into
// an image slot when the operator asks for it). Returns 0 only when that record cannot be used.
int extract_image_from_flash();

namespace launch {

// Hands the launch's own steps to the layers below that call upward: launch_image to the
// installer (a record booted at once), board_reset and extract_image_from_flash to the rescue
// menu. launcher_main does it first; a program that installs packages without the launcher's
// start-up (mpboard install) does it before.
void connect_hooks();

}  // namespace launch
