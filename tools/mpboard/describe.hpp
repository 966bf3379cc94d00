// The sandbox board's description (platform/sandbox/board_description.hpp) as mpboard shows it:
// `mpboard describe` for people and, with --json, for the scripts and tests; and the parts of
// the help texts that list partitions and keys.
#pragma once

#include <string>

namespace mpboard {

void print_description(bool json);

// "uboot, ubootenv, devicetree, kernel, rfs or rescue" (last_separator " or "), or with ", ".
std::string partition_names(const char* last_separator);
// "Keys: mtd.erase_size, ..., power.cut_partial.\n", wrapped, with the values of the keys that
// take words.
std::string conf_keys_help();

}  // namespace mpboard
