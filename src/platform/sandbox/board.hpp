// Shared inside the sandbox platform: the board's configuration, its paths, its log and the
// counters behind stats(). Not for use outside src/platform/sandbox.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sandbox/sandbox.hpp"

namespace platform::sandbox::detail {

// The six partitions, in the order the launcher opens them.
enum class Partition { uboot, ubootenv, devicetree, kernel, rfs, rescue };
inline constexpr std::array<std::string_view, 6> kPartitionNames = {
    "uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"};
std::optional<Partition> partition_by_name(std::string_view name);
std::string_view partition_name(Partition part);

// An injected fault at one erase block of one partition.
struct SectorFault {
    Partition partition;
    std::uint32_t sector;
};

enum class NakMode { none, read, write, all };

struct BoardConfig {
    std::uint32_t erase_size = 131072;
    bool strict = false;
    bool mtd_absent = false;
    bool mtd_meminfo_fails = false;
    bool mtd_size0 = false;
    std::optional<SectorFault> mtd_erase_fault;
    std::optional<SectorFault> mtd_write_fault;
    std::optional<SectorFault> mtd_read_fault;
    std::string eeprom = "var/vpd.bin";  // board-relative, no leading '/'
    bool i2c_missing = false;
    NakMode i2c_nak = NakMode::none;
    bool cpld_stuck = false;
    double clock_scale = 1.0;
    // Power cut: the board dies at the first MTD write or erase whose number (counted from
    // the process's start, failed calls included) reaches power_cut_after; 0 never.
    std::uint32_t power_cut_after = 0;
    // How much of that last operation reaches the chip, in percent of its bytes.
    std::uint32_t power_cut_done_percent = 50;
};

// The configuration, read on first use when reload() was never called.
const BoardConfig& config();
// <root>/<rel>; rel is board-relative ("dev/mtd-kernel", "/dev/mtd-kernel" alike).
std::string board_path(std::string_view rel);
// True when the board files may be used: a root other than "/" was set, or the process is
// inside a board's jail. With root "/" anywhere else, "/dev/i2c-0" would be the host's.
bool board_usable();
// The jail's marker: /run/mpboard-jail on a tmpfs, and /etc/board.conf.
bool inside_board();

// Appends "<kind>: <detail>" to var/log/board.log in one write; newlines in detail are
// shown as \n so that one event stays one line.
void board_log(std::string_view kind, std::string_view detail);

Stats& mutable_stats();
// The configuration's part of reload(): stats() zeroed, etc/board.conf read again.
void reload_config();

// Cuts the power: logs "power: <what>" and stops every process of the board at once (only this
// process when it is not inside a board's jail). Never returns.
[[noreturn]] void power_cut(std::string_view what);

}  // namespace platform::sandbox::detail
