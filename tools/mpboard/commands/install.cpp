// mpboard install: the launcher's installer inside a board.

#include <cstdio>

#include "board_command.hpp"
#include "board_jail.hpp"
#include "jail/jail.hpp"

namespace mpboard {
namespace {

const char* const INSTALL_HELP =
    "usage: mpboard install DIR PACKAGE [--slot 1|2] [--check-versions] [--allow-older]\n"
    "\n"
    "Installs an image package into the board with the launcher's own installer, inside the\n"
    "board's jail, as the rescue console does after a download: the package is copied to the\n"
    "board's /tmp/image, each record goes to its flash partition or image slot, with the\n"
    "installer's own messages. Without --slot the installer asks for the slot on this terminal\n"
    "(an empty answer boots the application at once); --slot gives it that answer.\n"
    "--check-versions skips records equal to what is installed.\n"
    "--allow-older installs a signed package whose security counter is below the board's\n"
    "floor, as an operator's yes at the rescue console does: the installer says so and adds a\n"
    "line to the board's /user/images/overrides. Nothing else is overridden: a package for\n"
    "another product, or one that no key of the board signed, is refused all the same.\n"
    "Exit status 0 when something was installed, 1 otherwise.\n";

}  // namespace

std::string install_help() {
    return INSTALL_HELP;
}

int run_install(const Args& args) {
    const BoardArgs call = take_board(args, INSTALL_HELP);
    const Board board = Board::open(call.dir);
    const host_tools::ParsedArgs parsed = host_tools::parse_args(
        call.rest,
        {.command = "install",
         .options = {{"--slot", true}, {"--check-versions"}, {"--allow-older"}},
         .max_positional = 1},
        ARG_RULES);
    InstallOptions options;
    for (const std::string& v : parsed.values("--slot")) {
        if (v != "1" && v != "2") {
            usage_fail("--slot: expected 1 or 2, got '" + v + "'");
        }
        options.slot = v[0] - '0';
    }
    options.check_versions = parsed.flag("--check-versions");
    options.allow_older = parsed.flag("--allow-older");
    if (parsed.positional().empty()) {
        std::fputs(INSTALL_HELP, stderr);
        usage_fail("install: missing package");
    }
    options.package = parsed.positional()[0];
    recovered(board);
    jail::exit_like(install_on_board(board, options));
}

}  // namespace mpboard
