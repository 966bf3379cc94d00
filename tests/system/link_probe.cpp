// The launcher's link test of eth0 (mgmt_link_status) on a virtual machine's kernel, carried in
// by a test application: prints "link N" at its start and after each line read from the console.
#include <cstdio>

#include "mgmt/mgmt_port.hpp"

int main() {
    char line[80];
    do {
        std::printf("link %d\n", mgmt_link_status('0'));
        std::fflush(stdout);
    } while (std::fgets(line, sizeof line, stdin) != nullptr);
    return 0;
}
