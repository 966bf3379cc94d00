// The board directory, whether this process is inside a board's jail, etc/board.conf and the
// counters of stats().
#include <string>

#include "platform/sandbox/board.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform::sandbox {

namespace {

std::string g_root = "/";
BoardConfig g_config;
bool g_loaded = false;
Stats g_stats;

// A line that cannot be used is reported in the board log and otherwise ignored: the board
// still starts, with the default for that key.
void load_config() {
    g_config = default_config();
    g_loaded = true;
    if (detail::board_usable()) {
        if (const auto text = host::read_text(detail::board_path("etc/board.conf"))) {
            g_config =
                read_conf(*text, [](const std::string& why) { detail::board_log("config", why); });
        }
    }
}

}  // namespace

void set_root(const std::string& dir) {
    std::string r = dir.empty() ? std::string("/") : dir;
    while (r.size() > 1 && r.back() == '/') {
        r.pop_back();
    }
    g_root = r;
    g_loaded = false;
}

const std::string& root() {
    return g_root;
}

const Stats& stats() {
    return g_stats;
}

namespace detail {

const BoardConfig& config() {
    // The board's own main never calls reload(): the configuration is read on first use.
    if (!g_loaded) {
        load_config();
    }
    return g_config;
}

std::string board_path(std::string_view rel) {
    while (!rel.empty() && rel.front() == '/') {
        rel.remove_prefix(1);
    }
    std::string path = g_root == "/" ? std::string() : g_root;
    path += '/';
    path.append(rel);
    return path;
}

bool board_usable() {
    return g_root != "/" || inside_board();
}

bool inside_board() {
    return host::on_tmpfs("/run/mpboard-jail") && host::exists("/etc/board.conf");
}

void reload_config() {
    g_stats = Stats{};
    load_config();
}

Stats& mutable_stats() {
    return g_stats;
}

}  // namespace detail

}  // namespace platform::sandbox
