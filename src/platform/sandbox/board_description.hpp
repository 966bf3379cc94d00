// The sandbox board's description: its flash partitions as files of the board directory, and the
// keys of etc/board.conf with their defaults, meanings and parsers. The sandbox platform reads
// board.conf with it; mpboard makes boards, edits board.conf and writes its help from it, and
// prints it (`mpboard describe [--json]`) for the scripts and tests that need it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/partitions.hpp"

namespace platform::sandbox {

// ---- Flash partitions: base::kPartitions, one file each under the board directory ------------

// "dev/mtd-kernel" for "/dev/mtd-kernel": inside a board's jail the device path is the file.
constexpr std::string_view board_file(const base::Partition& p) noexcept {
    return std::string_view(p.device).substr(1);
}

// The size mpboard create gives the partition's file: the installer's limit, so that every record
// it accepts fits; one erase block (board.conf's default) for the environment.
std::uint32_t made_size(const base::Partition& p);

// ---- etc/board.conf -----------------------------------------------------------------------------

// An injected fault at one erase block of one partition.
struct SectorFault {
    base::PartitionId partition;
    std::uint32_t sector;
};

enum class NakMode { none, read, write, all };

// What the emulators take from board.conf. Start from default_config(): the values of the keys'
// defaults below.
struct BoardConfig {
    std::uint32_t erase_size = 0;
    bool strict = false;
    bool mtd_absent = false;
    bool mtd_meminfo_fails = false;
    bool mtd_size0 = false;
    std::optional<SectorFault> mtd_erase_fault;
    std::optional<SectorFault> mtd_write_fault;
    std::optional<SectorFault> mtd_read_fault;
    std::string eeprom;  // board-relative, no leading '/'
    bool i2c_missing = false;
    NakMode i2c_nak = NakMode::none;
    bool cpld_stuck = false;
    double clock_scale = 0;
    // Power cut: the board dies at the first MTD write or erase whose number (counted from the
    // process's start, failed calls included) reaches power_cut_after; 0 never.
    std::uint32_t power_cut_after = 0;
    // How much of that last operation reaches the chip, in percent of its bytes.
    std::uint32_t power_cut_done_percent = 0;
    // Power cut at a VPD write: the board dies before the byte of the power_cut_vpd_write-th VPD
    // write (counted from the process's start) to offset power_cut_vpd_offset or above; 0 never.
    std::uint32_t power_cut_vpd_write = 0;
    std::uint32_t power_cut_vpd_offset = 0;
};

struct ConfKey {
    const char* key;
    const char* fallback;  // the default, as board.conf writes it
    const char* values;    // what the parser takes
    const char* meaning;
    // Sets the key's member of `config`; false for a value it does not take (config unchanged).
    bool (*parse)(std::string_view value, BoardConfig& config);
};

// Every key, in the order mpboard lists them.
std::span<const ConfKey> conf_keys();
const ConfKey* conf_key(std::string_view key);

// Every key at its default.
BoardConfig default_config();

// One line of board.conf, its comment ('#' on) dropped and the spaces around key and value.
struct ConfLine {
    std::string_view text;  // the line without its comment, trimmed
    bool assigns = false;   // it has a '='; key and value are the two sides
    std::string_view key;
    std::string_view value;
};
ConfLine split_conf_line(std::string_view line);

// A board.conf text applied to the defaults: a key given twice keeps the last value. A line that
// sets nothing (no '=', an unknown key, a bad value) leaves its key at the default and goes to
// `unused` as the board log words it: "line 3: unknown key mtd.colour".
BoardConfig read_conf(std::string_view text,
                      const std::function<void(const std::string& why)>& unused = {});

}  // namespace platform::sandbox
