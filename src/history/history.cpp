#include "history/history.hpp"

#include <cerrno>
#include <span>

#include "base/durable_file.hpp"
#include "base/io.hpp"
#include "base/untrusted_file.hpp"

namespace history {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool safe(char c) noexcept {
    return kSafe.find(c) != std::string_view::npos;
}

bool key_character(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// A part in its file form: kSafe bytes and %XX escapes (which unescape checks).
bool part_form(std::string_view part) noexcept {
    return unescape(part).has_value();
}

// A value in its file form: parts separated by ',' and ':'.
bool value_form(std::string_view value) noexcept {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || value[i] == ',' || value[i] == ':') {
            if (!part_form(value.substr(start, i - start))) {
                return false;
            }
            start = i + 1;
        }
    }
    return true;
}

// A sequence number: decimal, no leading zero, 1 to 2^32 - 1.
std::optional<std::uint32_t> parse_seq(std::string_view text) noexcept {
    if (text.empty() || text.size() > 10 || text[0] == '0') {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<Entry> parse_line(std::string_view line) {
    if (line.size() > kMaxLine) {
        return std::nullopt;
    }
    const std::size_t blank = line.find(' ');
    const std::optional<std::uint32_t> seq = parse_seq(line.substr(0, blank));
    if (!seq) {
        return std::nullopt;
    }
    Entry entry;
    entry.seq = *seq;
    std::size_t start = blank;
    while (start != std::string_view::npos) {
        const std::size_t end = line.find(' ', start + 1);
        const std::string_view field = line.substr(
            start + 1, end == std::string_view::npos ? std::string_view::npos : end - start - 1);
        const std::size_t eq = field.find('=');
        if (eq == 0 || eq == std::string_view::npos) {
            return std::nullopt;
        }
        const std::string_view key = field.substr(0, eq);
        const std::string_view value = field.substr(eq + 1);
        for (const char c : key) {
            if (!key_character(c)) {
                return std::nullopt;
            }
        }
        if (!value_form(value) || entry.get(key) != nullptr) {
            return std::nullopt;
        }
        entry.fields.emplace_back(key, value);
        start = end;
    }
    return entry;
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.emplace_back(text.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

}  // namespace

const char* heading(Kind kind) noexcept {
    return kind == Kind::boot ? "mplaunch boot history 1" : "mplaunch install history 1";
}

const std::string* Entry::get(std::string_view key) const noexcept {
    for (const auto& [k, v] : fields) {
        if (k == key) {
            return &v;
        }
    }
    return nullptr;
}

std::optional<std::string> Entry::text(std::string_view key) const {
    const std::string* value = get(key);
    if (value == nullptr || value->find_first_of(",:") != std::string::npos) {
        return std::nullopt;
    }
    return unescape(*value);
}

std::vector<std::vector<std::string>> Entry::items(std::string_view key) const {
    std::vector<std::vector<std::string>> items;
    const std::string* value = get(key);
    if (value == nullptr || value->empty()) {
        return items;
    }
    for (const std::string& item : split(*value, ',')) {
        std::vector<std::string> parts;
        for (const std::string& part : split(item, ':')) {
            parts.push_back(unescape(part).value_or(""));
        }
        items.push_back(std::move(parts));
    }
    return items;
}

void Entry::set_text(std::string_view key, std::string_view text) {
    const std::string value = escape(text);
    for (auto& [k, v] : fields) {
        if (k == key) {
            v = value;
            return;
        }
    }
    fields.emplace_back(key, value);
}

void Entry::set_items(std::string_view key, const std::vector<std::vector<std::string>>& items) {
    std::string value;
    for (std::size_t i = 0; i < items.size(); ++i) {
        value += i == 0 ? "" : ",";
        for (std::size_t j = 0; j < items[i].size(); ++j) {
            value += j == 0 ? "" : ":";
            value += escape(items[i][j]);
        }
    }
    for (auto& [k, v] : fields) {
        if (k == key) {
            v = value;
            return;
        }
    }
    fields.emplace_back(key, value);
}

std::string escape(std::string_view part) {
    std::string out;
    out.reserve(part.size());
    for (const char c : part) {
        if (safe(c)) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

std::optional<std::string> unescape(std::string_view part) {
    std::string out;
    out.reserve(part.size());
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (part[i] == '%') {
            if (i + 2 >= part.size()) {
                return std::nullopt;
            }
            const int high = hex_value(part[i + 1]);
            const int low = hex_value(part[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(high << 4 | low);
            i += 2;
        } else if (safe(part[i])) {
            out += part[i];
        } else {
            return std::nullopt;
        }
    }
    return out;
}

Log parse(Kind kind, std::string_view text) {
    const Log damaged{State::damaged, {}};
    const std::string_view first = heading(kind);
    if (text.size() <= first.size() || text.substr(0, first.size()) != first ||
        text[first.size()] != '\n' || text.back() != '\n') {
        return damaged;
    }
    Log log{State::read, {}};
    std::size_t start = first.size() + 1;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        std::optional<Entry> entry = parse_line(text.substr(start, end - start));
        if (!entry || log.entries.size() == kMaxEntries ||
            (!log.entries.empty() && entry->seq <= log.entries.back().seq)) {
            return damaged;
        }
        log.entries.push_back(std::move(*entry));
        start = end + 1;
    }
    return log;
}

std::string format(Kind kind, const std::vector<Entry>& entries) {
    std::string text = std::string(heading(kind)) + "\n";
    const std::size_t skip = entries.size() > kMaxEntries ? entries.size() - kMaxEntries : 0;
    for (std::size_t i = skip; i < entries.size(); ++i) {
        text += std::to_string(entries[i].seq);
        for (const auto& [key, value] : entries[i].fields) {
            text += " " + key + "=" + value;
        }
        text += "\n";
    }
    return text;
}

Log read(Kind kind, const char* path) {
    base::Found found = base::Found::failed;
    const base::UniqueFd fd = base::open_regular(path, found);
    if (!fd) {
        return {found == base::Found::missing ? State::missing : State::damaged, {}};
    }
    std::string text(kMaxFile + 1, '\0');
    const base::Transfer t = base::read_full(
        fd.get(),
        std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(text.data()), text.size()));
    if (t.error != 0 || t.done > kMaxFile) {
        return {State::damaged, {}};
    }
    text.resize(t.done);
    return parse(kind, text);
}

bool save(Kind kind, const char* path, const Entry& entry, bool* was_damaged) {
    Log log = read(kind, path);
    if (was_damaged != nullptr) {
        *was_damaged = log.state == State::damaged;
    }
    // The numbers rise from line to line: entries from this one's number on (its own earlier
    // form, or those before a wrap of the count) give way to it.
    while (!log.entries.empty() && log.entries.back().seq >= entry.seq) {
        log.entries.pop_back();
    }
    log.entries.push_back(entry);
    const std::string text = format(kind, log.entries);
    return base::write_durably(
        path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size()));
}

std::uint32_t next_seq(const Log& log) noexcept {
    if (log.entries.empty() || log.entries.back().seq == UINT32_MAX) {
        return 1;
    }
    return log.entries.back().seq + 1;
}

}  // namespace history
