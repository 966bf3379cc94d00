// mpboard create: a new board directory with its programs, devices and configuration.

#include "create.hpp"
#include "board_command.hpp"
#include "board_jail.hpp"

namespace mpboard {
namespace {

const char* const CREATE_HELP =
    "usage: mpboard create DIR [--demo] [--force] [--busybox FILE]\n"
    "\n"
    "Makes a board directory: BusyBox and the stand-in programs in bin/, the six flash\n"
    "partitions under dev/ (erased, 0xFF), the VPD EEPROM var/vpd.bin (erased), the I2C adapters\n"
    "and the CPLD, etc/board.conf with its defaults, an empty user/ and tmp/.\n"
    "\n"
    "  --demo     image slot 1 holds demo application 1.0.0.1, slot 2 demo application 2.0.0.2,\n"
    "             the rescue partition demo diagnostics 3.0.0.3; VPD byte 1 (slot to boot) is 1\n"
    "  --force    remake an existing board in DIR (its flash, VPD, user/ and tmp/ start afresh)\n"
    "  --busybox  the static BusyBox to use (default: MP_BUSYBOX, else the one scripts/test\n"
    "             builds)\n";

}  // namespace

std::string create_help() {
    return CREATE_HELP;
}

int run_create(const Args& args) {
    const BoardArgs call = take_board(args, CREATE_HELP);
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(call.rest,
                               {.command = "create",
                                .options = {{"--demo"}, {"--force"}, {"--busybox", true}},
                                .max_positional = 0},
                               ARG_RULES);
    CreateOptions options;
    options.demo = parsed.flag("--demo");
    options.force = parsed.flag("--force");
    options.busybox =
        parsed.value("--busybox").value_or(default_from("MP_BUSYBOX", MPBOARD_DEFAULT_BUSYBOX));
    create_board(call.dir, options);
    put_board_programs(Board::open(call.dir),
                       default_from("MPBOARD_CONFIRM", MPBOARD_DEFAULT_CONFIRM),
                       default_from("MPBOARD_STATUS", MPBOARD_DEFAULT_STATUS));
    return EXIT_OK;
}

}  // namespace mpboard
