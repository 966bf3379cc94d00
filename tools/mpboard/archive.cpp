#include "archive.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "common/record_writer.hpp"
#include "image/record.hpp"

namespace mpboard {
namespace {

constexpr std::size_t BLOCK = 512;

// An octal number field of `width` bytes: digits, then a NUL.
void put_octal(std::span<std::uint8_t> field, unsigned long value) {
    std::array<char, 24> text{};
    const int n =
        std::snprintf(text.data(), text.size(), "%0*lo", static_cast<int>(field.size() - 1), value);
    if (n < 0 || static_cast<std::size_t>(n) >= field.size()) {
        throw std::length_error("tar field too small");
    }
    std::copy_n(text.begin(), n, field.begin());
    field[static_cast<std::size_t>(n)] = 0;
}

void put_text(std::span<std::uint8_t> field, std::string_view text) {
    if (text.size() > field.size()) {
        throw std::length_error("tar name too long: " + std::string(text));
    }
    std::copy(text.begin(), text.end(), field.begin());
}

std::string version_text(std::uint32_t version) {
    return version_string(version);
}

// A script that prints `line` and then runs `then`, when given.
std::vector<std::uint8_t> script_tarball(const std::string& path,
                                         const std::vector<std::string>& dirs,
                                         const std::string& line, const std::string& then = "") {
    std::vector<TarEntry> entries;
    entries.reserve(dirs.size() + 1);
    for (const std::string& d : dirs) {
        entries.push_back({d, 0755, {}});
    }
    entries.push_back({path, 0755, "#!/bin/sh\necho \"" + line + "\"\n" + then});
    const std::vector<std::uint8_t> tar = make_tar(entries);
    return gzip(tar);
}

}  // namespace

std::vector<std::uint8_t> make_tar(const std::vector<TarEntry>& entries) {
    std::vector<std::uint8_t> out;
    for (const TarEntry& e : entries) {
        const bool dir = !e.name.empty() && e.name.back() == '/';
        std::array<std::uint8_t, BLOCK> h{};
        const auto field = [&h](std::size_t offset, std::size_t width) {
            return std::span<std::uint8_t>(h.data() + offset, width);
        };
        put_text(field(0, 100), e.name);
        put_octal(field(100, 8), e.mode);
        put_octal(field(108, 8), 0);  // uid
        put_octal(field(116, 8), 0);  // gid
        put_octal(field(124, 12), dir ? 0 : e.content.size());
        put_octal(field(136, 12), 0);  // mtime: the board's tar runs with m anyway
        h[156] = dir ? '5' : '0';
        put_text(field(257, 6), "ustar");  // magic "ustar\0"
        put_text(field(263, 2), "00");
        put_text(field(265, 32), "root");
        put_text(field(297, 32), "root");
        // The checksum is summed with its own field read as eight blanks.
        std::fill_n(h.begin() + 148, 8, static_cast<std::uint8_t>(' '));
        unsigned long sum = 0;
        for (const std::uint8_t b : h) {
            sum += b;
        }
        put_octal(field(148, 7), sum);
        h[155] = ' ';
        out.insert(out.end(), h.begin(), h.end());
        if (!dir) {
            out.insert(out.end(), e.content.begin(), e.content.end());
            out.resize((out.size() + BLOCK - 1) / BLOCK * BLOCK, 0);
        }
    }
    out.resize(out.size() + 2 * BLOCK, 0);
    return out;
}

std::vector<std::uint8_t> gzip(std::span<const std::uint8_t> data) {
    if (data.size() > std::numeric_limits<uInt>::max()) {
        throw std::length_error("gzip input too large");
    }
    z_stream z{};
    // windowBits 15 + 16: a gzip wrapper instead of zlib's.
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::runtime_error("zlib deflateInit2 failed");
    }
    std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())) + 32);
    z.next_in = const_cast<Bytef*>(data.data());  // zlib's API is not const-correct
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    const std::size_t produced = out.size() - z.avail_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) {
        throw std::runtime_error("zlib deflate failed");
    }
    out.resize(produced);
    return out;
}

std::vector<std::uint8_t> demo_application(std::uint32_t version) {
    // Up and running: it confirms the boot, so a board that counts boot attempts keeps it.
    const auto tgz = script_tarball("home/bin/mp.elf.strip", {"home/", "home/bin/"},
                                    "demo application " + version_text(version) + " running",
                                    "/usr/bin/mplaunch-confirm\n");
    return host_tools::make_record(IMAGE_APPLICATION, version, tgz);
}

std::vector<std::uint8_t> demo_diagnostics(std::uint32_t version) {
    const auto tgz = script_tarball("mpdiag.elf.strip", {},
                                    "demo diagnostics " + version_text(version) + " running");
    return host_tools::make_record(IMAGE_DIAGS, version, tgz);
}

}  // namespace mpboard
