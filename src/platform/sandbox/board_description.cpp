#include "platform/sandbox/board_description.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace platform::sandbox {

namespace {

std::string_view trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

bool parse_u32(std::string_view text, std::uint32_t& out) {
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size()) {
        return false;
    }
    out = v;
    return true;
}

bool parse_flag(std::string_view text, bool& out) {
    if (text != "0" && text != "1") {
        return false;
    }
    out = text == "1";
    return true;
}

// "kernel:3" or "none".
bool parse_sector_fault(std::string_view text, std::optional<SectorFault>& out) {
    if (text == "none") {
        out.reset();
        return true;
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const auto part = base::partition_by_name(text.substr(0, colon));
    std::uint32_t sector = 0;
    if (!part || !parse_u32(text.substr(colon + 1), sector)) {
        return false;
    }
    out = SectorFault{*part, sector};
    return true;
}

bool parse_nak(std::string_view text, NakMode& out) {
    constexpr std::pair<std::string_view, NakMode> kModes[] = {{"none", NakMode::none},
                                                               {"read", NakMode::read},
                                                               {"write", NakMode::write},
                                                               {"all", NakMode::all}};
    for (const auto& [name, mode] : kModes) {
        if (text == name) {
            out = mode;
            return true;
        }
    }
    return false;
}

bool parse_scale(std::string_view text, double& out) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc{} || end != text.data() + text.size() || !std::isfinite(v) || v < 0) {
        return false;
    }
    out = v;
    return true;
}

// A board-relative file name that stays inside the board: no "..", no empty name.
bool parse_board_file(std::string_view text, std::string& out) {
    text.remove_prefix(std::min(text.find_first_not_of('/'), text.size()));
    if (text.empty() || text.back() == '/') {
        return false;
    }
    for (std::size_t start = 0; start <= text.size();) {
        const auto slash = std::min(text.find('/', start), text.size());
        if (text.substr(start, slash - start) == "..") {
            return false;
        }
        start = slash + 1;
    }
    out = std::string(text);
    return true;
}

bool parse_percent(std::string_view text, std::uint32_t& out) {
    std::uint32_t percent = 0;
    if (!parse_u32(text, percent) || percent > 100) {
        return false;
    }
    out = percent;
    return true;
}

using Config = BoardConfig;

// The meanings are the comments mpboard create writes into board.conf.
const ConfKey kKeys[] = {
    {"mtd.erase_size", "131072", "a decimal number", "erase block of every partition, bytes",
     [](std::string_view v, Config& c) { return parse_u32(v, c.erase_size); }},
    {"mtd.strict", "0", "0 or 1", "1: a write that needs a bit to go from 0 to 1 fails",
     [](std::string_view v, Config& c) { return parse_flag(v, c.strict); }},
    {"fault.mtd.absent", "0", "0 or 1", "1: no flash at all",
     [](std::string_view v, Config& c) { return parse_flag(v, c.mtd_absent); }},
    {"fault.mtd.meminfo", "0", "0 or 1", "1: MEMGETINFO fails",
     [](std::string_view v, Config& c) { return parse_flag(v, c.mtd_meminfo_fails); }},
    {"fault.mtd.size0", "0", "0 or 1", "1: MEMGETINFO reports size 0",
     [](std::string_view v, Config& c) { return parse_flag(v, c.mtd_size0); }},
    {"fault.mtd.erase", "none", "PART:SECTOR or none", "PART:SECTOR whose erase fails",
     [](std::string_view v, Config& c) { return parse_sector_fault(v, c.mtd_erase_fault); }},
    {"fault.mtd.write", "none", "PART:SECTOR or none", "PART:SECTOR whose write fails",
     [](std::string_view v, Config& c) { return parse_sector_fault(v, c.mtd_write_fault); }},
    {"fault.mtd.read", "none", "PART:SECTOR or none", "PART:SECTOR whose read fails",
     [](std::string_view v, Config& c) { return parse_sector_fault(v, c.mtd_read_fault); }},
    {"i2c.eeprom", "var/vpd.bin", "a board file (no ..)",
     "board file holding the VPD EEPROM's 256 bytes",
     [](std::string_view v, Config& c) { return parse_board_file(v, c.eeprom); }},
    {"fault.i2c.missing", "0", "0 or 1", "1: I2C adapter 0 is absent",
     [](std::string_view v, Config& c) { return parse_flag(v, c.i2c_missing); }},
    {"fault.i2c.nak", "none", "read, write, all or none",
     "read, write or all: the EEPROM NAKs them",
     [](std::string_view v, Config& c) { return parse_nak(v, c.i2c_nak); }},
    {"fault.cpld.stuck", "0", "0 or 1", "1: the CPLD gate never reports a finished switch",
     [](std::string_view v, Config& c) { return parse_flag(v, c.cpld_stuck); }},
    {"clock.scale", "1", "a decimal factor of 0 or more",
     "factor applied to every pause; 0 makes them instant",
     [](std::string_view v, Config& c) { return parse_scale(v, c.clock_scale); }},
    {"power.cut_after_writes", "0", "a decimal number",
     "N > 0: the power fails at the N-th flash write or erase",
     [](std::string_view v, Config& c) { return parse_u32(v, c.power_cut_after); }},
    {"power.cut_partial", "50", "0 to 100", "percent of the cut operation that reaches the flash",
     [](std::string_view v, Config& c) { return parse_percent(v, c.power_cut_done_percent); }},
    {"power.cut_at_vpd_write", "0", "N or N@OFFSET (decimal)",
     "N > 0: the power fails before the N-th VPD byte write (to OFFSET or above)",
     [](std::string_view v, Config& c) {
         const std::size_t at = v.find('@');
         std::uint32_t n = 0;
         std::uint32_t offset = 0;
         if (!parse_u32(v.substr(0, at), n) ||
             (at != std::string_view::npos &&
              (!parse_u32(v.substr(at + 1), offset) || offset > 255))) {
             return false;
         }
         c.power_cut_vpd_write = n;
         c.power_cut_vpd_offset = offset;
         return true;
     }},
};

}  // namespace

std::uint32_t made_size(const base::Partition& p) {
    return p.install_limit != 0 ? p.install_limit : default_config().erase_size;
}

std::span<const ConfKey> conf_keys() {
    return kKeys;
}

const ConfKey* conf_key(std::string_view key) {
    for (const ConfKey& k : kKeys) {
        if (key == k.key) {
            return &k;
        }
    }
    return nullptr;
}

BoardConfig default_config() {
    static const BoardConfig defaults = [] {
        BoardConfig c;
        for (const ConfKey& k : kKeys) {
            if (!k.parse(k.fallback, c)) {
                std::abort();  // a default its own parser refuses: a mistake in the table above
            }
        }
        return c;
    }();
    return defaults;
}

ConfLine split_conf_line(std::string_view line) {
    ConfLine split;
    split.text = trim(line.substr(0, line.find('#')));
    const auto eq = split.text.find('=');
    if (eq != std::string_view::npos) {
        split.assigns = true;
        split.key = trim(split.text.substr(0, eq));
        split.value = trim(split.text.substr(eq + 1));
    }
    return split;
}

BoardConfig read_conf(std::string_view text,
                      const std::function<void(const std::string& why)>& unused) {
    BoardConfig config = default_config();
    const auto report = [&unused](unsigned number, const std::string& why) {
        if (unused) {
            unused("line " + std::to_string(number) + ": " + why);
        }
    };
    for (unsigned number = 1; !text.empty(); ++number) {
        const auto nl = text.find('\n');
        const ConfLine line = split_conf_line(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (line.text.empty()) {
            continue;
        }
        const ConfKey* key = conf_key(line.key);
        if (!line.assigns) {
            report(number, "expected key = value: " + std::string(line.text));
        } else if (key == nullptr) {
            report(number, "unknown key " + std::string(line.key));
        } else if (!key->parse(line.value, config)) {
            report(number,
                   "bad value for " + std::string(line.key) + ": " + std::string(line.value));
        }
    }
    return config;
}

}  // namespace platform::sandbox
