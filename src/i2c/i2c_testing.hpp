// Hooks for the i2c module's unit tests only; the launcher never calls them.
#pragma once

#include <cstdint>

// The descriptor held for bus 0 or 1: 0 when not open, -1 after a failed open.
int i2c_bus_descriptor(int bus);
// Closes whatever is open and returns both descriptors to 0, as at process start.
void i2c_reset_for_tests();
// The VPD byte write behind api_set_image, for offsets the boot-slot calls never use.
int i2c_set_vpd_offset_for_tests(std::uint16_t offset, std::uint8_t value);
