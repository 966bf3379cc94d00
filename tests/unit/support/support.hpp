// Records built byte by byte as the board stores them, and a scratch sandbox board used in place
// or by a step run in a forked child (console in files, every command recorded, never run).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/partitions.hpp"
#include "platform/sandbox/board_description.hpp"

namespace mp_test {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::size_t kSector = 4096;
inline constexpr std::size_t kPartitionSize = 16 * kSector;  // all but the boot loader's
inline constexpr std::size_t kBootLoaderSize =
    base::partition(base::PartitionId::uboot).install_limit;
inline constexpr std::uint32_t kId = 0x01020304;

struct RecordShape {
    std::uint32_t magic;
    Bytes payload;
    std::uint16_t hdrlen = 0;  // extended header of this length when non-zero
    std::optional<std::uint32_t> len = std::nullopt;  // a lying len; the payload stays as given
    bool bad_crc = false;
    std::size_t stored = 0;  // non-zero: keep only this many bytes (the CRC covers them)
    std::uint32_t id = kId;
};
Bytes make_record(const RecordShape& shape);  // reserved header bytes: 0x5A
void put32(Bytes& b, std::size_t at, std::uint32_t v);
void seal(Bytes& record);  // the CRC over everything after it
Bytes concat(std::initializer_list<Bytes> parts);
inline Bytes text_bytes(std::string_view text) {
    return {text.begin(), text.end()};
}
Bytes pattern(std::size_t n, unsigned seed);  // never 0xFF, no short period: a lost byte shows
inline Bytes erased(std::size_t n) {
    return Bytes(n, 0xFF);
}
void write_file(const std::string& path, const Bytes& bytes);
std::optional<Bytes> read_file(const std::string& path);

// Recorded commands as they appear in stdout, in order with the code's own output.
inline std::string sys(std::string_view c) {
    return "{system:" + std::string(c) + "}";
}
inline std::string exec(std::string_view p) {
    return "{exec:" + std::string(p) + "}";
}

struct Outcome {
    int exit_status = -1;         // -1: killed by a signal, or the step returned
    std::optional<int> returned;  // the step returned this value instead of ending
    std::string out;
    std::string err;
};

// Emulated flash, I2C, CPLD and VPD in a fresh directory; the fixed paths /user/images and /tmp
// are those of the test jail, emptied for every test.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string board_file(std::string_view rel) const { return dir_ + "/" + std::string(rel); }
    std::string part_path(std::string_view name) const {
        return board_file(
            platform::sandbox::board_file(base::partition(base::partition_by_name(name).value())));
    }
    Bytes part(std::string_view name) const { return read_file(part_path(name)).value(); }
    void put(std::string_view rel, const Bytes& bytes) { write_file(board_file(rel), bytes); }
    Bytes get(std::string_view rel) const { return read_file(board_file(rel)).value_or(Bytes{}); }
    std::string text(std::string_view rel) const {
        const Bytes b = get(rel);
        return {b.begin(), b.end()};
    }
    std::string log() const { return text("var/log/board.log"); }
    void write_env(std::string_view variables);  // after a 4-byte checksum
    std::uint8_t vpd(unsigned offset) const { return get("var/vpd.bin").at(offset); }
    void board_conf(std::string_view lines) {
        put("etc/board.conf",
            text_bytes("clock.scale = 0\nmtd.erase_size = 4096\n" + std::string(lines)));
    }
    void configure(std::string_view lines);  // board_conf, then this process on the board
    void gate(bool open);                    // the VPD gate, bit 0 of CPLD register 20

    // The shell's answer to a recorded command (default 0: it ran).
    std::function<int(std::string_view kind, std::string_view command)> answer;

    // Runs `step` in a child with `input` as stdin; a step that ends the process never returns.
    Outcome run(const std::function<int()>& step, std::string_view input = "");
    // The same after opening the buses and the flash as start-up does.
    Outcome run_with_devices(const std::function<int()>& step, std::string_view input = "");

    std::string dir_;
};

}  // namespace mp_test
