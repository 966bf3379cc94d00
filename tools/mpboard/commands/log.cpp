// mpboard log: a board's var/log/board.log.

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdio>

#include "base/io.hpp"
#include "board_command.hpp"

namespace mpboard {
namespace {

const char* const LOG_HELP =
    "usage: mpboard log DIR [--clear]\n"
    "\n"
    "Prints var/log/board.log: one \"<kind>: <detail>\" line per thing that happened on the\n"
    "board (commands, VPD writes, faults, the stand-ins' calls), every byte but printable ASCII\n"
    "and the line ends shown as \\xHH. --clear empties it.\n";

}  // namespace

std::string log_help() {
    return LOG_HELP;
}

int run_log(const Args& args) {
    const BoardArgs call = take_board(args, LOG_HELP);
    const Board board = Board::open(call.dir);
    const host_tools::ParsedArgs parsed = host_tools::parse_args(
        call.rest, {.command = "log", .options = {{"--clear"}}, .max_positional = 0}, ARG_RULES);
    const std::string file = "var/log/board.log";
    if (parsed.flag("--clear")) {
        board.write_text(file, "");
        return EXIT_OK;
    }
    if (!board.exists(file)) {
        return EXIT_OK;
    }
    // The board writes its log, to any size: it goes through in pieces, and its control bytes
    // must not reach the caller's terminal.
    const base::UniqueFd log = board.open_in(file, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
    struct stat st {};
    if (!log || ::fstat(log.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail(board.path(file) + ": not a regular file that can be read");
    }
    std::array<std::uint8_t, 65536> chunk{};
    for (;;) {
        const base::Transfer t = base::read_full(log.get(), chunk);
        if (!t.ok()) {
            errno = t.error;
            fail_errno(board.path(file), "read");
        }
        std::string shown;
        for (std::size_t i = 0; i < t.done; ++i) {
            const std::uint8_t byte = chunk[i];
            if (byte == '\n' || (byte >= 0x20 && byte < 0x7F)) {
                shown.push_back(static_cast<char>(byte));
            } else {
                constexpr const char* kHex = "0123456789abcdef";
                shown.append({'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]});
            }
        }
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        if (t.done < chunk.size()) {
            return EXIT_OK;
        }
    }
}

}  // namespace mpboard
