// The end of every boot path with nothing left to try, the operator's shell, and the hooks the
// layers below call upward through. Boot, launch and the rescue image all end here, and this file
// calls none of them but to hand them on.
#include <cstdio>
#include <cstdlib>

#include "base/boot_attempts.hpp"
#include "base/command.hpp"
#include "installer/installer.hpp"
#include "launch/launch_steps.hpp"
#include "platform/platform.hpp"
#include "rescue/rescue_menu.hpp"

namespace launch {

namespace {

// A package's application booted at once by the installer runs from the tarball, not from a
// slot: no slot of an earlier run may be left for mplaunch-confirm to confirm.
[[noreturn]] void boot_without_slot(std::uint8_t is_diags) {
    base::forget_booted_slot(base::kBootedSlot);
    launch_image(is_diags);
}

}  // namespace

void connect_hooks() {
    installer_set_boot(boot_without_slot);
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
