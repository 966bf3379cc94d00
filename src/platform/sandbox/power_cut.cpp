// The power cut of a sandbox board: the emulated flash decides when it happens (see
// mtd_emulator.cpp), this file stops the board.
#include <unistd.h>

#include <string>

#include "platform/sandbox/board.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform::sandbox::detail {

void power_cut(std::string_view what) {
    board_log("power", "cut at " + std::string(what));
    // A board in its jail loses every process at once, as the real one loses its supply; a
    // unit test that set a board root outside a jail must not signal anything but itself.
    host::kill_board(root() == "/" && inside_board() && host::in_child_pid_namespace());
    // Never reached: the line is the witness a campaign looks for after every cut.
    board_log("power", "still running after the cut");
    ::_exit(137);
}

}  // namespace platform::sandbox::detail
