// mpboard status: the launcher's view of a board, as mplaunch-status prints it on the board.

#include <cstdio>
#include <optional>
#include <string>

#include "board_command.hpp"
#include "board_jail.hpp"
#include "jail/jail.hpp"

namespace mpboard {
namespace {

const char* const STATUS_HELP =
    "usage: mpboard status DIR [--json] [--clock-scale X]\n"
    "\n"
    "Prints the launcher's view of the board with mplaunch-status's own code, inside the\n"
    "board's jail over the board's files: each image slot's record, CRC, signatures and boot\n"
    "attempts, the VPD's slot bytes (1 and 59), the boot settings, keys, security floor and\n"
    "product, each flash partition's record, the boot history and the install records. A\n"
    "virtual-machine board's flash is brought back first. --json prints it for programs (the\n"
    "keys are in doc/status.md; null: not known). --clock-scale X multiplies the pauses of the\n"
    "I2C path's waits for this command (0: instant), as for run; board.conf is unchanged.\n"
    "Nothing of the board is written.\n"
    "Exit status 0 when printed.\n";

}  // namespace

std::string status_help() {
    return STATUS_HELP;
}

int run_status(const Args& args) {
    const BoardArgs call = take_board(args, STATUS_HELP);
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(call.rest,
                               {.command = "status",
                                .options = {{"--json"}, {"--clock-scale", true}},
                                .max_positional = 0},
                               ARG_RULES);
    std::optional<std::string> clock_scale;
    for (const std::string& value : parsed.values("--clock-scale")) {
        clock_scale = checked_clock_scale(value);
    }
    const Board board = recovered(Board::open(call.dir));
    jail::exit_like(status_on_board(board, parsed.flag("--json"), clock_scale));
}

}  // namespace mpboard
