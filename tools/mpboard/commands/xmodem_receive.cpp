// mpboard xmodem-receive: the launcher's XMODEM-1K receiver inside a board.

#include <cstdio>

#include "board_command.hpp"
#include "board_jail.hpp"
#include "jail/jail.hpp"

namespace mpboard {
namespace {

const char* const XMODEM_RECEIVE_HELP =
    "usage: mpboard xmodem-receive DIR FILE\n"
    "\n"
    "Runs the launcher's built-in XMODEM-1K receiver inside the board on its serial line, which\n"
    "is this terminal (standard input must be one): it asks for the switch to 115200 bps and\n"
    "waits for Enter (a carriage return), receives FILE (a path inside the board, such as\n"
    "/tmp/image; the sender's padding stays in it), then asks for the switch back to 9600 bps\n"
    "and waits for Enter (a line feed). Pauses follow the board's clock.scale: keep it 1 for a\n"
    "real sender. /tmp is not emptied before or after, so FILE stays for a later command.\n"
    "Exit status 0 when the transfer ended normally with data, 1 when it was cancelled or\n"
    "brought nothing.\n";

}  // namespace

std::string xmodem_receive_help() {
    return XMODEM_RECEIVE_HELP;
}

int run_xmodem_receive(const Args& args) {
    const BoardArgs call = take_board(args, XMODEM_RECEIVE_HELP);
    const Args& words = call.rest;
    const Board board = Board::open(call.dir);
    if (words.size() != 1 || words[0].starts_with("--")) {
        std::fputs(XMODEM_RECEIVE_HELP, stderr);
        usage_fail("xmodem-receive: expected FILE, a path inside the board");
    }
    jail::exit_like(xmodem_receive_on_board(board, words[0]));
}

}  // namespace mpboard
