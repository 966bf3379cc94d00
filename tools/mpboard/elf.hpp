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

// A shared object of another machine's executable: where it is here, and where it goes in that
// machine's root.
struct ForeignObject {
    std::string host;
    std::string inside;  // absolute
};
// What an executable built for another machine (the powerpc board build) loads, from `sysroot`
// (its toolchain's root, /usr/powerpc-linux-gnu): its loader (PT_INTERP) and, read from the
// files themselves, each DT_NEEDED library found in sysroot's lib/ or usr/lib/, and theirs.
// Empty for a static executable; fails when one is not there.
std::vector<ForeignObject> foreign_objects_of(const std::string& exe, const std::string& sysroot);

}  // namespace mpboard
