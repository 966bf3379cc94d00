// mpboard env: the U-Boot environment partition of a board.

#include <cstdio>
#include <stdexcept>

#include "board_command.hpp"
#include "platform/sandbox/board_description.hpp"
#include "uboot_env.hpp"
#include "vm/flash.hpp"

namespace mpboard {
namespace {

const char* const ENV_HELP =
    "usage: mpboard env DIR [NAME=VALUE ...]\n"
    "\n"
    "Without assignments, prints the variables of the U-Boot environment partition\n"
    "(dev/mtd-ubootenv), one NAME=VALUE per line. With them, sets each variable (NAME= removes\n"
    "it) and writes the partition back: a CRC-32 (zlib's, big-endian, over the rest of the\n"
    "partition), the NUL-terminated strings, an empty string, the rest erased.\n"
    "The launcher reads gdb, gdbserver, gdbport, shell, memchk and diagnostics in the first\n"
    "1280 bytes of the variables only; verify and bootlimit as whole variables anywhere\n"
    "before the empty string, the last of a name deciding.\n";

}  // namespace

std::string env_help() {
    return ENV_HELP;
}

int run_env(const Args& args) {
    const BoardArgs call = take_board(args, ENV_HELP);
    const Args& words = call.rest;
    const Board board = Board::open(call.dir);
    const base::Partition& part = base::partition(base::PartitionId::ubootenv);
    // After a cut of a virtual machine, the partition is the one in the flash it left.
    const bool left = vm_flash_left(board);
    const std::string shown = board.path(platform::sandbox::board_file(part));
    const auto bytes = left ? read_left_partition(board, part) : board.read_partition(part);
    ParsedEnv env = parse_env(bytes);
    if (words.empty()) {
        if (!env.crc_ok && !env.erased) {
            std::fprintf(stderr, "mpboard: %s: the environment's CRC does not match\n",
                         shown.c_str());
        }
        for (const auto& [name, value] : env.vars) {
            std::printf("%s=%s\n", name.c_str(), value.c_str());
        }
        return EXIT_OK;
    }
    for (const std::string& a : words) {
        const auto eq = a.find('=');
        if (eq == std::string::npos || eq == 0 || a.find('\0') != std::string::npos) {
            usage_fail("env: expected NAME=VALUE, got '" + a + "'");
        }
        assign_env(env.vars, a.substr(0, eq), a.substr(eq + 1));
    }
    std::vector<std::uint8_t> image;
    try {
        image = build_env(env.vars, bytes.size());
    } catch (const std::length_error& e) {
        fail(shown + ": " + e.what());
    }
    if (left) {
        write_left_partition(board, part, image);
    } else {
        board.write_partition(part, image);
    }
    std::size_t text = 0;
    for (const auto& [name, value] : env.vars) {
        text += name.size() + value.size() + 2;
    }
    if (text > LAUNCHER_ENV_WINDOW) {
        std::fprintf(stderr,
                     "mpboard: note: the variables take %zu bytes; the launcher reads only the "
                     "first %zu\n",
                     text, LAUNCHER_ENV_WINDOW);
    }
    return EXIT_OK;
}

}  // namespace mpboard
