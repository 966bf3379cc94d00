#include "vm/clock.hpp"

#include "failure.hpp"
#include "files.hpp"

namespace mpboard {
namespace {

// The pause library and its factor, in the machine's root.
constexpr const char* CLOCK_LIBRARY = "usr/lib/mpboard/libmpclock.so";
constexpr const char* CLOCK_FACTOR = "etc/mpboard-clock-scale";

}  // namespace

void add_clock_scale(Initramfs& ramfs, const std::optional<std::string>& factor,
                     const std::string& library) {
    if (!factor) {
        return;
    }
    if (library.empty() || !exists(library)) {
        fail("no pause library for --clock-scale in a virtual machine (" + library +
             "; MPBOARD_VM_CLOCK names one)");
    }
    ramfs.file(CLOCK_LIBRARY, read_file(library), 0755);
    const std::string preload = std::string("/") + CLOCK_LIBRARY + "\n";
    ramfs.file("etc/ld.so.preload", std::vector<std::uint8_t>(preload.begin(), preload.end()));
    const std::string text = *factor + "\n";
    ramfs.file(CLOCK_FACTOR, std::vector<std::uint8_t>(text.begin(), text.end()));
}

}  // namespace mpboard
