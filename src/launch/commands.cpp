// The commands of the boot paths: every command line goes out through run_command, the operator's
// shell, and the reset that ends every path with nothing left to try; and the slot files' names.
// Boot, launch and the rescue image all end here, and this file calls none of them.
#include <cstdio>
#include <cstdlib>

#include "launch/launch_steps.hpp"
#include "platform/platform.hpp"

namespace launch {

const char* slot_path(int slot) {
    return slot == 2 ? "/user/images/image2" : "/user/images/image1";
}

int run_command(const char* command) {
    std::fflush(stdout);
    std::fflush(stderr);
    return platform::run_system(command);
}

void operator_shell() {
    run_command("/bin/sh\n");
}

}  // namespace launch

void board_reset() {
    platform::clock_sleep(1);
    if (launch::run_command("reboot") < 0) {
        std::fputs("System reboot failed, please power-cycle.\n", stderr);
    }
    std::exit(0);
}
