// The board's serial line is a UART: once tcdrain has returned, the output has left the chip,
// and TCIOFLUSH can only drop input the launcher has not read.
#include <termios.h>

#include "platform/platform.hpp"

namespace platform {

int serial_drain_flush(int fd) {
    const int drained = ::tcdrain(fd);
    const int flushed = ::tcflush(fd, TCIOFLUSH);
    return drained != 0 ? drained : flushed;
}

}  // namespace platform
