// Hooks for the flash module's unit tests only; the launcher never calls them.
#pragma once

// Closes the partitions api_flash_init opened and returns the module to its state at process
// start: descriptors 0, geometry "unknown" with size 0, trace switches off.
void flash_reset_for_tests();
