// mpboard conf: the keys of a board's etc/board.conf.

#include <cstdio>

#include "board_command.hpp"
#include "board_conf.hpp"
#include "describe.hpp"
#include "platform/sandbox/board_description.hpp"

namespace mpboard {
namespace {

const char* const CONF_HELP =
    "usage: mpboard conf DIR [KEY=VALUE ...]\n"
    "\n"
    "Without assignments, prints every key of etc/board.conf with its value (\"(default)\" where\n"
    "the file does not set it). KEY=VALUE sets a key, KEY= puts it back to its default.\n";

}  // namespace

std::string conf_help() {
    return CONF_HELP + conf_keys_help();
}

int run_conf(const Args& args) {
    const BoardArgs call = take_board(args, conf_help());
    const Args& words = call.rest;
    const Board board = Board::open(call.dir);
    const std::string file = "etc/board.conf";
    std::string text = board.read_text(file);
    if (words.empty()) {
        for (const platform::sandbox::ConfKey& k : platform::sandbox::conf_keys()) {
            const auto v = conf_value(text, k.key);
            std::printf("%s = %s\n", k.key,
                        v ? v->c_str() : (std::string(k.fallback) + " (default)").c_str());
        }
        return EXIT_OK;
    }
    for (const std::string& a : words) {
        const auto eq = a.find('=');
        if (eq == std::string::npos) {
            usage_fail("conf: expected KEY=VALUE, got '" + a + "'");
        }
        const std::string key = a.substr(0, eq);
        const std::string value = a.substr(eq + 1);
        if (platform::sandbox::conf_key(key) == nullptr) {
            usage_fail("conf: unknown key '" + key + "' (mpboard conf --help lists them)");
        }
        if (value.find_first_of("#\n") != std::string::npos) {
            usage_fail("conf: a value may not hold '#' or a newline");
        }
        text = conf_with(text, key, value);
    }
    board.write_text(file, text);
    return EXIT_OK;
}

}  // namespace mpboard
