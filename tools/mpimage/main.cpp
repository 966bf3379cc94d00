// mpimage: image packages for the switch's management processor, on the build host.

#include <cstdio>
#include <string>

#include "commands.hpp"
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

struct Command {
    const char* name;
    int (*run)(const mpimage::Args&);
    const char* const* help;
};

const Command COMMANDS[] = {
    {"create", mpimage::run_create, &mpimage::CREATE_HELP},
    {"list", mpimage::run_list, &mpimage::LIST_HELP},
    {"verify", mpimage::run_verify, &mpimage::VERIFY_HELP},
    {"extract", mpimage::run_extract, &mpimage::EXTRACT_HELP},
    {"keygen", mpimage::run_keygen, &mpimage::KEYGEN_HELP},
    {"sign", mpimage::run_sign, &mpimage::SIGN_HELP},
};

bool is_help(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

int run(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(MAIN_HELP, stderr);
        return mpimage::EXIT_USAGE;
    }
    const std::string name = argv[1];
    if (is_help(name) || name == "help") {
        if (argc > 2) {
            for (const Command& c : COMMANDS) {
                if (argv[2] == std::string(c.name)) {
                    std::fputs(*c.help, stdout);
                    return mpimage::EXIT_GOOD;
                }
            }
        }
        std::fputs(MAIN_HELP, stdout);
        return mpimage::EXIT_GOOD;
    }
    for (const Command& c : COMMANDS) {
        if (name != c.name) {
            continue;
        }
        mpimage::Args args(argv + 2, argv + argc);
        for (const std::string& a : args) {
            if (is_help(a)) {
                std::fputs(*c.help, stdout);
                return mpimage::EXIT_GOOD;
            }
        }
        return c.run(args);
    }
    mpimage::usage_error("unknown command '" + name + "'");
}

}  // namespace

int main(int argc, char** argv) {
    return host_tools::tool_main("mpimage", mpimage::EXIT_USAGE, [&] { return run(argc, argv); });
}
