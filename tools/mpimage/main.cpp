// mpimage: image packages for the switch's management processor, on the build host.

#include <cstdio>
#include <string>

#include "commands/commands.hpp"
#include "common/tool_main.hpp"
#include "package_file.hpp"

namespace {

const char* const MAIN_HELP =
    "usage: mpimage COMMAND ARGS...\n"
    "\n"
    "Image packages: records (header, payload, CRC-32) back to back, as the launcher boots\n"
    "them from the image slots and the installer writes them to flash.\n"
    "\n"
    "  create OUTPUT RECORD...      build a package from payload files\n"
    "  list PACKAGE [--json]        one line (or JSON object) per record\n"
    "  verify PACKAGE [--pubkey K]  exit 0 only when every record is intact (and signed by K)\n"
    "  extract PACKAGE INDEX OUTPUT write one record's payload to a file\n"
    "  keygen NAME                  make a signing key pair NAME.key and NAME.pub\n"
    "  sign PACKAGE --key NAME.key  add the signature records\n"
    "\n"
    "mpimage COMMAND --help explains each command.\n"
    "\n"
    "Exit status: 0 good, 1 damaged record or failed verification, 2 usage or I/O error.\n";

const host_tools::ToolCommand COMMANDS[] = {
    {"create", mpimage::run_create, mpimage::create_help},
    {"list", mpimage::run_list, mpimage::list_help},
    {"verify", mpimage::run_verify, mpimage::verify_help},
    {"extract", mpimage::run_extract, mpimage::extract_help},
    {"keygen", mpimage::run_keygen, mpimage::keygen_help},
    {"sign", mpimage::run_sign, mpimage::sign_help},
};

[[noreturn]] void unknown_command(const std::string& name) {
    mpimage::usage_error("unknown command '" + name + "'");
}

}  // namespace

int main(int argc, char** argv) {
    const host_tools::CommandTable table{MAIN_HELP, COMMANDS, mpimage::EXIT_GOOD,
                                         mpimage::EXIT_USAGE, unknown_command};
    return host_tools::tool_main("mpimage", mpimage::EXIT_USAGE,
                                 [&] { return host_tools::run_command_table(table, argc, argv); });
}
