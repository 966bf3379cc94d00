// Shared inside the sandbox platform: the board's configuration, its paths, its log and the
// counters behind stats(). Not for use outside src/platform/sandbox.
#pragma once

#include <string>
#include <string_view>

#include "platform/sandbox/board_description.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace platform::sandbox::detail {

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
