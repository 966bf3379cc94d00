#include "rescue/rescue_menu.hpp"

// Placeholder until the rescue console is built (menu, downloads, standalone diagnostics):
// behaves as if the operator left the menu at once, so start-up goes on with the boot.
int run_rescue_mode() {
    return 1;
}

// Placeholder until the standalone diagnostics boot is built: behaves as a diagnostics boot
// that could not start, so start-up goes on with the boot.
int run_standalone_diags() {
    return 1;
}
