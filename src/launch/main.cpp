// The launcher: one foreground process per boot on the serial console. It never returns from
// here; it ends in the application or in a reboot.
#include "launch/launch_steps.hpp"

int main() {
    launcher_main();
}
