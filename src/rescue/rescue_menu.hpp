// The rescue console's menu and its actions.
#pragma once

// The rescue menu on the console: 1 when the operator leaves it to go on booting; does not
// return after R (reboot).
int run_rescue_mode();

// The versions of every installed image, one line each; 0.
int run_image_display();

// Asks whether to wipe /user, then boots the diagnostics image from flash; returns (1) only
// when it could not be booted.
int run_standalone_diags();

// What the rescue console calls in the launcher's layer above it, handed in at start-up: the
// reset that ends the R option (board_reset, never returns), and the boot of the image kept in
// flash that ends the diagnostics (extract_image_from_flash, returns only when it cannot be
// used). Until they are handed in, R returns to the boot and the diagnostics find no image.
struct RescueActions {
    void (*reset)() = nullptr;
    int (*boot_from_flash)() = nullptr;
};
void rescue_set_actions(const RescueActions& actions);
