// What a host executable needs beside itself to run elsewhere (in a board, in a virtual machine):
// its ELF loader and shared objects.
#pragma once

#include <string>
#include <vector>

namespace mpboard {

// The dynamic loader a host executable names (PT_INTERP), or empty for a static one.
std::string interpreter_of(const std::string& path);
// The shared objects a dynamic executable loads, its loader first (what ldd shows).
std::vector<std::string> shared_objects_of(const std::string& interp, const std::string& exe);

}  // namespace mpboard
