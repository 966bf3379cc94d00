// The board reset, the operator's shell and the hooks that the layers below call upward through:
// the end of every boot path with nothing left to try. Boot, launch and the rescue image all end
// here, and this file calls none of them but to hand them on.
#include <cstdio>
#include <cstdlib>

#include "base/boot_attempts.hpp"
#include "command/command.hpp"
#include "image/signature.hpp"
#include "installer/installer.hpp"
#include "launch/launch_steps.hpp"
#include "platform/platform.hpp"
#include "rescue/rescue_menu.hpp"

namespace {

// The settings the launcher read, for the steps that the layers below call through plain
// functions.
BootSettings hooked_settings;

// The installer's boot at once of the record it just checked. With verify=on and no key file on
// the board the installer checked no signature: the record is not booted. The record runs from
// the tarball, not from a slot: no slot of an earlier run may be left for mplaunch-confirm to
// confirm.
void boot_installed(std::uint8_t is_diags) {
    if (hooked_settings.verify_enable != 0 && signing::load_keys(signing::kKeysDir).present == 0) {
        std::fputs("No key on the board to verify the image, not booting it.\n", stderr);
        return;
    }
    base::forget_booted_slot(base::kBootedSlot);
    launch::journal::booting("download");
    launch_image(hooked_settings, is_diags);
}

int boot_from_flash() {
    return extract_image_from_flash(hooked_settings);
}

}  // namespace

namespace launch {

void connect_hooks(const BootSettings& settings) {
    hooked_settings = settings;
    installer_set_boot(boot_installed);
    rescue_set_actions({.reset = board_reset, .boot_from_flash = boot_from_flash});
}

void operator_shell() {
    command::run_command("/bin/sh\n");
}

}  // namespace launch

void board_reset() {
    launch::journal::ended();
    platform::clock_sleep(1);
    if (command::run_command("reboot") < 0) {
        std::fputs("System reboot failed, please power-cycle.\n", stderr);
    }
    std::exit(0);
}
