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
