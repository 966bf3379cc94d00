// The board directory, whether this process is inside a board's jail, etc/board.conf and the
// counters of stats().
#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "platform/sandbox/board.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform::sandbox {

namespace {

std::string g_root = "/";
detail::BoardConfig g_config;
bool g_loaded = false;
Stats g_stats;

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

bool parse_u32(std::string_view text, std::uint32_t* out) {
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_flag(std::string_view text, bool* out) {
    if (text == "0" || text == "1") {
        *out = text == "1";
        return true;
    }
    return false;
}

// "kernel:3" or "none".
bool parse_sector_fault(std::string_view text, std::optional<detail::SectorFault>* out) {
    if (text == "none") {
        out->reset();
        return true;
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const auto part = detail::partition_by_name(text.substr(0, colon));
    std::uint32_t sector = 0;
    if (!part || !parse_u32(text.substr(colon + 1), &sector)) {
        return false;
    }
    *out = detail::SectorFault{*part, sector};
    return true;
}

bool parse_nak(std::string_view text, detail::NakMode* out) {
    using detail::NakMode;
    if (text == "none") {
        *out = NakMode::none;
    } else if (text == "read") {
        *out = NakMode::read;
    } else if (text == "write") {
        *out = NakMode::write;
    } else if (text == "all") {
        *out = NakMode::all;
    } else {
        return false;
    }
    return true;
}

bool parse_scale(std::string_view text, double* out) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(v) || v < 0) {
        return false;
    }
    *out = v;
    return true;
}

// A board-relative file name that stays inside the board: no "..", no empty name.
bool parse_board_file(std::string_view text, std::string* out) {
    while (!text.empty() && text.front() == '/') {
        text.remove_prefix(1);
    }
    if (text.empty() || text.back() == '/') {
        return false;
    }
    for (std::size_t start = 0; start <= text.size();) {
        auto slash = text.find('/', start);
        if (slash == std::string_view::npos) {
            slash = text.size();
        }
        if (text.substr(start, slash - start) == "..") {
            return false;
        }
        start = slash + 1;
    }
    *out = std::string(text);
    return true;
}

enum class Outcome { ok, unknown_key, bad_value };

Outcome apply(detail::BoardConfig& c, std::string_view key, std::string_view value) {
    bool ok = false;
    if (key == "mtd.erase_size") {
        ok = parse_u32(value, &c.erase_size);
    } else if (key == "mtd.strict") {
        ok = parse_flag(value, &c.strict);
    } else if (key == "fault.mtd.absent") {
        ok = parse_flag(value, &c.mtd_absent);
    } else if (key == "fault.mtd.meminfo") {
        ok = parse_flag(value, &c.mtd_meminfo_fails);
    } else if (key == "fault.mtd.size0") {
        ok = parse_flag(value, &c.mtd_size0);
    } else if (key == "fault.mtd.erase") {
        ok = parse_sector_fault(value, &c.mtd_erase_fault);
    } else if (key == "fault.mtd.write") {
        ok = parse_sector_fault(value, &c.mtd_write_fault);
    } else if (key == "fault.mtd.read") {
        ok = parse_sector_fault(value, &c.mtd_read_fault);
    } else if (key == "i2c.eeprom") {
        ok = parse_board_file(value, &c.eeprom);
    } else if (key == "fault.i2c.missing") {
        ok = parse_flag(value, &c.i2c_missing);
    } else if (key == "fault.i2c.nak") {
        ok = parse_nak(value, &c.i2c_nak);
    } else if (key == "fault.cpld.stuck") {
        ok = parse_flag(value, &c.cpld_stuck);
    } else if (key == "clock.scale") {
        ok = parse_scale(value, &c.clock_scale);
    } else if (key == "power.cut_after_writes") {
        ok = parse_u32(value, &c.power_cut_after);
    } else if (key == "power.cut_partial") {
        std::uint32_t percent = 0;
        ok = parse_u32(value, &percent) && percent <= 100;
        if (ok) {
            c.power_cut_done_percent = percent;
        }
    } else {
        return Outcome::unknown_key;
    }
    return ok ? Outcome::ok : Outcome::bad_value;
}

// A line that cannot be used is reported in the board log and otherwise ignored: the board
// still starts, with the default for that key.
void parse(std::string_view text, detail::BoardConfig& c) {
    unsigned number = 0;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        ++number;
        line = trim(line.substr(0, line.find('#')));
        if (line.empty()) {
            continue;
        }
        const std::string where = "line " + std::to_string(number) + ": ";
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            detail::board_log("config", where + "expected key = value: " + std::string(line));
            continue;
        }
        const auto key = trim(line.substr(0, eq));
        const auto value = trim(line.substr(eq + 1));
        switch (apply(c, key, value)) {
            case Outcome::ok:
                break;
            case Outcome::unknown_key:
                detail::board_log("config", where + "unknown key " + std::string(key));
                break;
            case Outcome::bad_value:
                detail::board_log("config", where + "bad value for " + std::string(key) + ": " +
                                                std::string(value));
                break;
        }
    }
}

void load_config() {
    g_config = detail::BoardConfig{};
    g_loaded = true;
    if (detail::board_usable()) {
        if (const auto text = host::read_text(detail::board_path("etc/board.conf"))) {
            parse(*text, g_config);
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

std::optional<Partition> partition_by_name(std::string_view name) {
    for (std::size_t i = 0; i < kPartitionNames.size(); ++i) {
        if (kPartitionNames[i] == name) {
            return static_cast<Partition>(i);
        }
    }
    return std::nullopt;
}

std::string_view partition_name(Partition part) {
    return kPartitionNames.at(static_cast<std::size_t>(part));
}

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
