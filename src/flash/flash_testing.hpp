// Hooks for the flash module's unit tests only; the launcher never calls them.
#pragma once

#include <cstdint>

// Closes the partitions api_flash_init opened and returns the module to its state at process
// start: descriptors 0, geometry "unknown" with size 0, trace switches off.
void flash_reset_for_tests();
// The geometry description ("unknown" until a geometry query succeeds).
const char* flash_geometry_name();
// The erase block size in use (0 before a successful query).
std::uint32_t flash_sector_size();
