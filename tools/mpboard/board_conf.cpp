#include "board_conf.hpp"

#include <vector>

#include "platform/sandbox/board_description.hpp"

namespace mpboard {

namespace {

namespace sb = platform::sandbox;

std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        lines.push_back(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    }
    return lines;
}

}  // namespace

std::optional<std::string> conf_value(std::string_view conf_text, std::string_view key) {
    std::optional<std::string> found;
    for (const std::string_view line : lines_of(conf_text)) {
        const sb::ConfLine split = sb::split_conf_line(line);
        if (split.assigns && split.key == key) {
            found = std::string(split.value);
        }
    }
    return found;
}

std::string conf_with(std::string_view conf_text, std::string_view key, std::string_view value) {
    std::string out;
    bool placed = false;
    for (const std::string_view line : lines_of(conf_text)) {
        if (sb::split_conf_line(line).key == key) {
            if (!placed && !value.empty()) {
                out += std::string(key) + " = " + std::string(value) + "\n";
            }
            placed = true;
            continue;
        }
        out += std::string(line) + "\n";
    }
    if (!placed && !value.empty()) {
        out += std::string(key) + " = " + std::string(value) + "\n";
    }
    return out;
}

std::string default_conf_text() {
    std::string out =
        "# Sandbox board configuration: key = value, '#' starts a comment.\n"
        "# mpboard conf DIR KEY=VALUE changes a key; KEY= puts it back to its default.\n"
        "# Keys left out take their defaults (shown commented out below).\n";
    // The two keys a person changes most are set; the others are shown at their defaults.
    const std::string_view set[] = {"clock.scale", "mtd.erase_size"};
    for (const std::string_view key : set) {
        out += std::string(key) + " = " + sb::conf_key(key)->fallback + "\n";
    }
    for (const sb::ConfKey& k : sb::conf_keys()) {
        if (k.key != set[0] && k.key != set[1]) {
            out += std::string("# ") + k.key + " = " + k.fallback + "    (" + k.meaning + ")\n";
        }
    }
    return out;
}

}  // namespace mpboard
