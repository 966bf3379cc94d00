// mpboard flash: raw bytes into a flash partition of a board.

#include <cstdio>

#include "board_command.hpp"
#include "describe.hpp"
#include "files.hpp"
#include "vm/flash.hpp"

namespace mpboard {

std::string flash_help() {
    return "usage: mpboard flash DIR PARTITION FILE\n"
           "\n"
           "Writes FILE's bytes at offset 0 of a flash partition and erases the rest (0xFF).\n"
           "PARTITION: " +
           partition_names(" or ") + ".\n";
}

int run_flash(const Args& args) {
    const BoardArgs call = take_board(args, flash_help());
    const Args& words = call.rest;
    const Board board = Board::open(call.dir);
    if (words.size() != 2) {
        std::fputs(flash_help().c_str(), stderr);
        usage_fail("flash: expected PARTITION FILE");
    }
    const auto part = base::partition_by_name(words[0]);
    if (!part) {
        usage_fail("flash: unknown partition '" + words[0] + "' (" + partition_names(", ") + ")");
    }
    const auto bytes = read_file(words[1]);
    // After a cut of a virtual machine, the partition is the one in the flash it left.
    if (vm_flash_left(board)) {
        write_left_partition(board, base::partition(*part), bytes);
    } else {
        board.write_partition(base::partition(*part), bytes);
    }
    return EXIT_OK;
}

}  // namespace mpboard
