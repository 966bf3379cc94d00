// mpboard link: eth0's link of a board's virtual machine.

#include <cstdio>

#include "board_command.hpp"
#include "vm/net.hpp"

namespace mpboard {
namespace {

const char* const LINK_HELP =
    "usage: mpboard link DIR up|down\n"
    "\n"
    "Switches the link of eth0 (the management port) of the board's virtual machine while\n"
    "`mpboard run DIR --vm` runs, as plugging or pulling its cable: the launcher's link test\n"
    "reads it through the kernel's network driver. A jailed board has no link to switch.\n";

}  // namespace

std::string link_help() {
    return LINK_HELP;
}

int run_link(const Args& args) {
    const BoardArgs call = take_board(args, LINK_HELP);
    const Args& words = call.rest;
    const Board board = Board::open(call.dir);
    if (words.size() != 1 || (words[0] != "up" && words[0] != "down")) {
        std::fputs(LINK_HELP, stderr);
        usage_fail("link: expected up or down");
    }
    set_vm_link(board, words[0] == "up");
    return EXIT_OK;
}

}  // namespace mpboard
