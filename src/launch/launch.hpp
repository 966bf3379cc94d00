// Boot control of the management processor: start-up, the boot settings read from the U-Boot
// environment, the choice and extraction of the image to boot, the rescue image kept in flash,
// and the hand-over to the application.
//
// The launcher never ends in the ordinary way: every path ends in the application taking over
// the processor (launch_image) or in a reboot (board_reset).
#pragma once

#include <cstdint>

#include "base/interrupt.hpp"  // sig_quit_raised, raised by sig_handler

// The boot settings: read once at start-up from the boot loader's environment partition
// (parse_uboot_env; on a sandbox board its dev/mtd-ubootenv, which `mpboard env` edits) and
// handed to every step that looks at them: the start-up, the boot attempts, the launch, the
// rescue image and the hooks. Each keeps its initial value unless its key is present there.
struct BootSettings {
    std::int32_t gdb_enable = 0;        // run the application under the local debugger /tmp/gdb
    std::int32_t gdbserver_enable = 0;  // run it under /bin/gdbserver; also sets gdb_enable
    std::int32_t gdbport = 1234;        // TCP port of gdbserver
    std::uint8_t shell_enable = 0;      // operator shell before the launch and before a reset
    std::uint8_t memchk_enable = 0;     // preload the memory checker
    std::int32_t rescue_enable = 0;     // rescue menu on the console at start-up
    std::int32_t standalone_diags = 0;  // boot the diagnostics image from flash at start-up
    std::uint8_t boot_limit = 0;        // unconfirmed boots before a slot is passed over; 0: off
    std::uint8_t verify_enable = 0;     // boot only slot files whose own signature a key verifies
};

// The boot settings in the U-Boot environment partition (the initial ones without flash); the
// flash must have been opened (api_flash_init).
BootSettings parse_uboot_env();

// One second's pause, "reboot" through the shell, and exit status 0, whether or not the shell
// could be started.
[[noreturn]] void board_reset();

// Unpacks the application tarball in /tmp, closes the I2C buses and starts the application in
// the mode the settings select. `is_diags` non-zero: the tarball is a diagnostics image.
[[noreturn]] void launch_image(const BootSettings& settings, std::uint8_t is_diags);

// Boots the record of the rescue partition (and, for an application record, installs it into
// an image slot when the operator asks for it). Returns 0 only when that record cannot be used.
int extract_image_from_flash(const BootSettings& settings);

namespace launch {

// Hands the launch's own steps to the layers below that call upward, with a copy of `settings`
// for them: launch_image to the installer (a record booted at once), board_reset and
// extract_image_from_flash to the rescue menu. launcher_main does it once the settings are read;
// a program that installs packages without the launcher's start-up (mpboard install) does it
// before, with the initial settings.
void connect_hooks(const BootSettings& settings = {});

}  // namespace launch
