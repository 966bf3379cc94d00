// The board's clock: real pauses. They touch nothing, so they need no on-board check.
#include <unistd.h>

#include "platform/platform.hpp"

namespace platform {

unsigned int clock_sleep(unsigned int seconds) {
    return ::sleep(seconds);
}

int clock_usleep(useconds_t microseconds) {
    return ::usleep(microseconds);
}

}  // namespace platform
