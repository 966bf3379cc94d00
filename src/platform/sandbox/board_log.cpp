#include <string>

#include "platform/sandbox/board.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform::sandbox::detail {

void board_log(std::string_view kind, std::string_view detail) {
    // With root "/", only a board's jail has a log there: never the workstation's /var/log.
    if (!board_usable() || (root() == "/" && !host::in_child_pid_namespace())) {
        return;
    }
    std::string line;
    line.reserve(kind.size() + detail.size() + 3);
    line.append(kind).append(": ");
    for (const char c : detail) {
        if (c == '\n') {
            line.append("\\n");
        } else {
            line.push_back(c);
        }
    }
    line.push_back('\n');
    const std::string dir = board_path("var/log");
    // The log is the board's witness of what happened; losing a line must not change what the
    // launcher does, so a failure here is silent.
    if (host::make_dirs(dir)) {
        host::append_line(dir + "/board.log", line);
    }
}

}  // namespace platform::sandbox::detail
