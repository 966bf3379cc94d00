#include "virtual_clock.hpp"

#include "platform/platform.hpp"

namespace platform {

unsigned int clock_sleep(unsigned int seconds) {
    vclock::now_us += std::uint64_t{seconds} * 1000000;
    vclock::sleeps += seconds;
    vclock::on_tick();
    return 0;
}

int clock_usleep(useconds_t microseconds) {
    vclock::now_us += microseconds;
    vclock::on_tick();
    return 0;
}

}  // namespace platform
