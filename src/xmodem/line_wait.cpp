// The receiver's wait after an empty read of the line, in a file of its own: the unit tests and
// the fuzz target link their virtual clock in its place.
#include <poll.h>

#include "platform/platform.hpp"
#include "xmodem/xmodem_testing.hpp"

void wait_for_input(int fd, useconds_t microseconds) {
    pollfd line{fd, POLLIN, 0};
    const int ready = ::poll(&line, 1, static_cast<int>((microseconds + 999) / 1000));
    if (ready == 0 || (ready > 0 && line.revents == POLLIN)) {
        return;
    }
    // A line that is hung up or failing, or a signal, ends poll at once: the whole pause keeps
    // the receiver's timeouts as long on a dead line as on a silent one.
    static_cast<void>(platform::clock_usleep(microseconds));
}
