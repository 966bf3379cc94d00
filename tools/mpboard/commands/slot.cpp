// mpboard slot: an image package into an image slot of a board, or out of it.

#include <cstdio>

#include "board_command.hpp"
#include "files.hpp"

namespace mpboard {
namespace {

const char* const SLOT_HELP =
    "usage: mpboard slot DIR 1|2 PACKAGE|--remove\n"
    "\n"
    "Copies an image package into /user/images/image1 or image2 of the board, or removes it.\n"
    "The package is copied as it is (a damaged one too: the boot path is to find out).\n";

}  // namespace

std::string slot_help() {
    return SLOT_HELP;
}

int run_slot(const Args& args) {
    const BoardArgs call = take_board(args, SLOT_HELP);
    const Args& words = call.rest;
    const Board board = recovered(Board::open(call.dir));
    if (words.size() != 2 || (words[0] != "1" && words[0] != "2")) {
        std::fputs(SLOT_HELP, stderr);
        usage_fail("slot: expected 1 or 2, then a package or --remove");
    }
    const int slot = words[0][0] - '0';
    if (words[1] == "--remove") {
        board.remove(board.slot_file(slot));
        return EXIT_OK;
    }
    const auto package = read_file(words[1]);
    board.make_dirs("user/images");
    board.write(board.slot_file(slot), package);
    return EXIT_OK;
}

}  // namespace mpboard
