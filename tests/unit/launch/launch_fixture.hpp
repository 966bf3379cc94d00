// A board for the launch tests: emulated flash, I2C and VPD in a fresh directory, the real paths
// /user/images and /tmp of the test jail, and commands recorded, never run. Every scenario runs
// in a forked child, because the launcher's paths end in exit() or exec.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace launch_test {

using Bytes = std::vector<std::uint8_t>;

struct RecordSpec {
    std::uint32_t magic;
    Bytes payload;
    std::uint16_t hdrlen = 0;  // extended header of this length when non-zero
    std::optional<std::uint32_t> len = std::nullopt;  // a lying len; the payload stays as given
    bool bad_crc = false;
    std::size_t stored = 0;  // non-zero: keep only this many bytes (the CRC covers them)
};
// One record, header and CRC built byte by byte as the board stores them.
Bytes make_record(const RecordSpec& spec);
Bytes concat(std::initializer_list<Bytes> parts);
Bytes text_bytes(std::string_view text);

// What a scenario left behind. stdout carries the recorded commands in place, as
// "{system:<command>}" and "{exec:<program>}", so that their order against the launcher's own
// output is checked too.
struct Outcome {
    int exit_status = -1;         // -1: killed by a signal
    std::optional<int> returned;  // the step returned this value instead of ending
    std::string out;
    std::string err;
};

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Board files (relative to the board directory) and jail files (absolute).
    std::string board_file(std::string_view rel) const;
    static void write_file(const std::string& path, const Bytes& bytes);
    static std::optional<Bytes> read_file(const std::string& path);

    void write_env(std::string_view variables);  // NUL-separated, after a 4-byte checksum
    void write_rescue(const Bytes& record);
    void set_vpd(unsigned offset, std::uint8_t value);
    std::uint8_t vpd(unsigned offset) const;
    void board_conf(std::string_view lines);
    static void reset_flags();  // every boot flag back to its value at process start

    // The answer the shell gives to a command (default 0: it ran).
    std::function<int(std::string_view kind, std::string_view command)> answer;

    // Runs `step` in a child with stdin from `input`. `step` returns the value of a step that
    // returns; a step that ends the process never gets there.
    Outcome run(const std::function<int()>& step, std::string_view input = "");
    // The same after opening the buses and the flash as start-up does (no boot settings read).
    Outcome run_with_devices(const std::function<int()>& step, std::string_view input = "");

    std::string dir_;
};

// Appends text to the child's captured standard output, in order with the launcher's own.
void note(std::string_view text);

// "{system:cmd}"
std::string sys(std::string_view command);
std::string exec(std::string_view program);

// The scratch board's rescue partition: 16 erase blocks of 4 KiB.
inline constexpr std::size_t kRescuePartitionSize = std::size_t{16} * 4096;

inline constexpr const char* kUnpack =
    "{system:cd /tmp \ntar mxzf /tmp/kaviximage.tar.gz \nrm /tmp/kaviximage.tar.gz\n}";
inline constexpr const char* kMount = "{system:/bin/mount -o sync -t jffs2 /dev/mtd-user /user}";
// The ordinary start as recording mode sees it: the exec is recorded and "fails".
inline constexpr const char* kBacktraceOut = "{exec:/bin/backtrace}{system:reboot}";
inline constexpr const char* kBacktraceErr = "Failed to start Application OS.\n";

}  // namespace launch_test
