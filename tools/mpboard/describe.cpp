#include "describe.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "base/json.hpp"
#include "base/partitions.hpp"
#include "platform/sandbox/board_description.hpp"

namespace mpboard {

namespace {

namespace sb = platform::sandbox;

// The width the help texts are wrapped at.
constexpr std::size_t kHelpWidth = 95;

void print_json() {
    std::string out = "{\"partitions\": [\n";
    for (const base::Partition& p : base::kPartitions) {
        out += std::string("  {\"name\": ") + base::json_string(p.name) +
               ", \"file\": " + base::json_string(sb::board_file(p)) +
               ", \"size\": " + std::to_string(sb::made_size(p)) +
               ", \"install_limit\": " + std::to_string(p.install_limit) + "}";
        out += &p == &base::kPartitions.back() ? "\n" : ",\n";
    }
    out += "], \"conf\": [\n";
    const auto keys = sb::conf_keys();
    for (const sb::ConfKey& k : keys) {
        out += std::string("  {\"key\": ") + base::json_string(k.key) +
               ", \"default\": " + base::json_string(k.fallback) +
               ", \"values\": " + base::json_string(k.values) +
               ", \"meaning\": " + base::json_string(k.meaning) + "}";
        out += &k == &keys.back() ? "\n" : ",\n";
    }
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
}

void print_text() {
    std::printf("%-12s %-20s %10s  %s\n", "PARTITION", "FILE", "SIZE", "INSTALLER LIMIT");
    for (const base::Partition& p : base::kPartitions) {
        std::printf("%-12s %-20s %10u  %s\n", p.name, std::string(sb::board_file(p)).c_str(),
                    sb::made_size(p),
                    p.install_limit == 0 ? "-" : std::to_string(p.install_limit).c_str());
    }
    std::printf("\n%-24s %-12s %-30s  %s\n", "BOARD.CONF KEY", "DEFAULT", "VALUES", "MEANING");
    for (const sb::ConfKey& k : sb::conf_keys()) {
        std::printf("%-24s %-12s %-30s  %s\n", k.key, k.fallback, k.values, k.meaning);
    }
}

}  // namespace

void print_description(bool json) {
    if (json) {
        print_json();
    } else {
        print_text();
    }
}

std::string partition_names(const char* last_separator) {
    std::string names;
    for (const base::Partition& p : base::kPartitions) {
        if (!names.empty()) {
            names += &p == &base::kPartitions.back() ? last_separator : ", ";
        }
        names += p.name;
    }
    return names;
}

std::string conf_keys_help() {
    // The keys that default to "none" take words: the list names them after the last key of a
    // run that takes the same ones.
    std::string words = "Keys:";
    const auto keys = sb::conf_keys();
    for (std::size_t i = 0; i < keys.size(); ++i) {
        words += std::string(" ") + keys[i].key;
        const bool named = std::string_view(keys[i].fallback) == "none";
        if (named &&
            (i + 1 == keys.size() || std::string_view(keys[i + 1].values) != keys[i].values)) {
            words += std::string(" (") + keys[i].values + ")";
        }
        words += i + 1 == keys.size() ? "." : ",";
    }
    std::string out;
    std::size_t line = 0;
    for (std::size_t start = 0; start < words.size();) {
        const std::size_t end = std::min(words.find(' ', start), words.size());
        const std::string_view word = std::string_view(words).substr(start, end - start);
        if (line != 0 && line + 1 + word.size() > kHelpWidth) {
            out += '\n';
            line = 0;
        } else if (line != 0) {
            out += ' ';
            ++line;
        }
        out += word;
        line += word.size();
        start = end + 1;
    }
    return out + "\n";
}

}  // namespace mpboard
