// The sandbox board's serial line is a pseudo-terminal. Its tcdrain returns at once, whether or
// not the terminal program on the other side has read the output, and TCIOFLUSH would throw
// away the prompt the operator is about to read. A UART has sent that prompt by the time tcdrain
// returns, so its flush drops only unread input: the sandbox drops only the input too.
#include <termios.h>

#include "platform/platform.hpp"

namespace platform {

int serial_drain_flush(int fd) {
    const int drained = ::tcdrain(fd);
    const int flushed = ::tcflush(fd, TCIFLUSH);
    return drained != 0 ? drained : flushed;
}

}  // namespace platform
