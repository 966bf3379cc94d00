// mpboard describe: what every sandbox board is made of.

#include "describe.hpp"
#include "board_command.hpp"

namespace mpboard {
namespace {

const char* const DESCRIBE_HELP =
    "usage: mpboard describe [--json]\n"
    "\n"
    "Prints what every sandbox board is made of: each flash partition with its file under the\n"
    "board directory, the size create gives it and the installer's size limit, and each key of\n"
    "etc/board.conf with its default, the values it takes and its meaning. --json prints the\n"
    "same as one object for scripts: {\"partitions\": [{\"name\", \"file\", \"size\",\n"
    "\"install_limit\"} ...], \"conf\": [{\"key\", \"default\", \"values\", \"meaning\"} ...]}\n"
    "(an install_limit of 0: no record is installed there).\n";

}  // namespace

std::string describe_help() {
    return DESCRIBE_HELP;
}

int run_describe(const Args& args) {
    const host_tools::ParsedArgs parsed = host_tools::parse_args(
        args, {.command = "describe", .options = {{"--json"}}, .max_positional = 0}, ARG_RULES);
    print_description(parsed.flag("--json"));
    return EXIT_OK;
}

}  // namespace mpboard
