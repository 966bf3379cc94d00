// The rescue console's entry points that start-up calls.
#pragma once

// The rescue menu on the console: 1 when the operator leaves it to go on booting.
int run_rescue_mode();

// Boots the diagnostics image from flash; returns (1) only when it could not be booted.
int run_standalone_diags();
