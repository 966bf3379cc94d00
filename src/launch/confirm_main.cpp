// mplaunch-confirm: run by the application once it is healthy. Clears the unconfirmed boot
// attempts of the slot that was booted (VPD byte 59), so that the launcher goes on booting it.
// Exits 0 when they are cleared or there is nothing to clear (counting off, no attempts, an image
// booted from flash); 1 when the attempts could not be written. It prints nothing unless it
// fails, and never writes the VPD or flash.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/boot_attempts.hpp"
#include "i2c/i2c.hpp"

int main() {
    // No attempts recorded (a board without "bootlimit" has no file): not even the VPD is read.
    if (base::read_boot_attempts(base::kBootAttempts).none()) {
        return 0;
    }
    std::uint8_t booted = 0xFF;
    static_cast<void>(api_i2c_init());
    static_cast<void>(api_eeprom_read(&booted, VPD_BOOTED_OFFSET, 1));
    api_i2c_close();
    if (booted != 1 && booted != 2) {
        return 0;
    }
    if (!base::clear_boot_attempts(base::kBootAttempts, booted)) {
        std::fprintf(stderr, "mplaunch-confirm: cannot write %s: %s\n", base::kBootAttempts,
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
