// What the demo board's packages are made of: a ustar archive, gzip-compressed, in an image
// record. Written here rather than by the host's tar so that a board looks the same on every
// workstation (owner root, fixed times).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mpboard {

struct TarEntry {
    std::string name;  // "home/bin/" (a directory ends in '/') or "home/bin/mp.elf.strip"
    unsigned mode;     // permission bits
    std::string content;
};

// A POSIX ustar archive of the entries, owner and group 0, ending in the two zero blocks.
std::vector<std::uint8_t> make_tar(const std::vector<TarEntry>& entries);

// A gzip member (RFC 1952) holding `data`.
std::vector<std::uint8_t> gzip(std::span<const std::uint8_t> data);

// The demo application record: its tarball unpacks to home/bin/mp.elf.strip, a shell script
// that prints "demo application <version> running".
std::vector<std::uint8_t> demo_application(std::uint32_t version);
// The demo diagnostics record: its tarball holds mpdiag.elf.strip at the top, printing
// "demo diagnostics <version> running".
std::vector<std::uint8_t> demo_diagnostics(std::uint32_t version);

inline constexpr std::uint32_t DEMO_SLOT1_VERSION = 0x01000001;  // 1.0.0.1
inline constexpr std::uint32_t DEMO_SLOT2_VERSION = 0x02000002;  // 2.0.0.2
inline constexpr std::uint32_t DEMO_DIAGS_VERSION = 0x03000003;  // 3.0.0.3

}  // namespace mpboard
