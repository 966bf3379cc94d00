// The end of every boot path with nothing left to try, the operator's shell, and the hooks the
// layers below call upward through. Boot, launch and the rescue image all end here, and this file
// calls none of them but to hand them on.
#include <cstdio>
#include <cstdlib>

#include "base/boot_attempts.hpp"
#include "base/command.hpp"
#include "image/signature.hpp"
#include "installer/installer.hpp"
#include "launch/launch_steps.hpp"
#include "platform/platform.hpp"
#include "rescue/rescue_menu.hpp"

namespace {

// The installer's boot at once of the record it just checked. With verify=on and no key file on
// the board the installer checked no signature: the record is not booted. The record runs from
// the tarball, not from a slot: no slot of an earlier run may be left for mplaunch-confirm to
// confirm.
void boot_installed(std::uint8_t is_diags) {
    if (verify_enable != 0 && signing::load_keys(signing::kKeysDir).present == 0) {
        std::fputs("No key on the board to verify the image, not booting it.\n", stderr);
        return;
    }
    base::forget_booted_slot(base::kBootedSlot);
    launch_image(is_diags);
}

}  // namespace

namespace launch {

void connect_hooks() {
    installer_set_boot(boot_installed);
    rescue_set_actions({.reset = board_reset, .boot_from_flash = extract_image_from_flash});
}

void operator_shell() {
    base::run_command("/bin/sh\n");
}

}  // namespace launch

void board_reset() {
    platform::clock_sleep(1);
    if (base::run_command("reboot") < 0) {
        std::fputs("System reboot failed, please power-cycle.\n", stderr);
    }
    std::exit(0);
}
