// mpboard vpd: the bytes of a board's VPD EEPROM.

#include <cstdio>

#include "board_command.hpp"
#include "vm/flash.hpp"

namespace mpboard {
namespace {

const char* const VPD_HELP =
    "usage: mpboard vpd DIR [OFFSET[=VALUE] ...]\n"
    "\n"
    "Prints \"OFFSET VALUE\" lines (decimal offset, hexadecimal value) of the VPD EEPROM: all\n"
    "256 bytes, or the offsets named. OFFSET=VALUE writes a byte. Numbers are decimal or 0x hex.\n"
    "Byte 1 is the image slot to boot, byte 59 the image that was booted (4: from flash).\n";

}  // namespace

std::string vpd_help() {
    return VPD_HELP;
}

int run_vpd(const Args& args) {
    const BoardArgs call = take_board(args, VPD_HELP);
    const Args& words = call.rest;
    const Board board = Board::open(call.dir);
    // After a cut of a virtual machine, the EEPROM's bytes are the ones in the flash it left.
    const bool left = vm_flash_left(board);
    auto vpd = left ? read_left_vpd(board) : board.read_vpd();
    if (words.empty()) {
        for (std::size_t i = 0; i < vpd.size(); ++i) {
            std::printf("%zu 0x%02x\n", i, vpd[i]);
        }
        return EXIT_OK;
    }
    bool wrote = false;
    for (const std::string& a : words) {
        const auto eq = a.find('=');
        const auto offset = parse_number(a.substr(0, eq), vpd.size() - 1);
        if (!offset) {
            usage_fail("vpd: '" + a.substr(0, eq) + "' is not an offset from 0 to 255");
        }
        if (eq == std::string::npos) {
            std::printf("%lu 0x%02x\n", *offset, vpd[*offset]);
            continue;
        }
        const auto value = parse_number(a.substr(eq + 1), 0xFF);
        if (!value) {
            usage_fail("vpd: '" + a.substr(eq + 1) + "' is not a byte value from 0 to 255");
        }
        vpd[*offset] = static_cast<std::uint8_t>(*value);
        wrote = true;
    }
    if (wrote && left) {
        write_left_vpd(board, vpd);
    } else if (wrote) {
        board.write_vpd(vpd);
    }
    return EXIT_OK;
}

}  // namespace mpboard
