// The board's own record of what it did: the boot history (one entry per boot: what was tried in
// order and each verdict, what booted, in which mode) and the install records (one entry per
// installation: where the package came from, its records and where each went, the result and any
// override), both on /user, for mplaunch-status and for whoever answers a field call.
//
// Each is a small text file: a first line naming it and its format, then one line per entry,
// oldest first: a sequence number and `key=value` fields separated by one space. A value is a
// list: items separated by ',', each of parts separated by ':' (a plain value is one item of one
// part). A part holds only the bytes of kSafe; every other byte is %XX (two upper-case hex
// digits), so a file name from a download cannot break a line or reach a terminal raw.
//
// A file is replaced whole (base::write_durably): a power cut leaves the old history or the new.
// A file that breaks any rule below is damaged: its reader says so, and the next write starts the
// file anew with the new entry alone, so a damaged history is never a reason not to boot. A name
// that is not a regular file counts as damaged and is replaced (it is never opened).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace history {

// At the top of /user, which is there on every board, a fresh or wiped one too.
inline constexpr const char* kBootHistory = "/user/boot-history";
inline constexpr const char* kInstallHistory = "/user/install-history";
// Entries kept in each file, the newest; an older one goes when a new one comes.
inline constexpr std::size_t kMaxEntries = 32;
// The longest line a reader takes (a longer one: damaged), and so the most a file can hold.
inline constexpr std::size_t kMaxLine = 1024;
inline constexpr std::size_t kMaxFile = 64 + (kMaxEntries + 1) * kMaxLine;

enum class Kind : std::uint8_t { boot, install };

// "mplaunch boot history 1" or "mplaunch install history 1".
const char* heading(Kind kind) noexcept;

// One item of a list value: its parts, unescaped.
using Item = std::vector<std::string>;

struct Entry {
    std::uint32_t seq = 0;                                    // 1 and up, rising from line to line
    std::vector<std::pair<std::string, std::string>> fields;  // values as in the file, in order

    // The value of `key` as in the file, or nullptr.
    const std::string* get(std::string_view key) const noexcept;
    // `key`'s one part unescaped; nullopt when missing or not one part.
    std::optional<std::string> text(std::string_view key) const;
    // `key`'s items; empty when missing.
    std::vector<Item> items(std::string_view key) const;
    // Replaces the value of `key`, or adds it at the end: `text` as one part, or a list.
    void set_text(std::string_view key, std::string_view text);
    void set_items(std::string_view key, const std::vector<Item>& items);
};

enum class State : std::uint8_t { missing, read, damaged };

struct Log {
    State state = State::missing;
    std::vector<Entry> entries;  // empty unless read
};

// A file's text read: every rule checked (the heading, one entry per line ending in '\n', a
// decimal sequence number without leading zeros that rises, keys of [a-z0-9_] each once, values
// of kSafe, ',', ':' and %XX, no line longer than kMaxLine, at most kMaxEntries entries).
// Damaged: no entries.
Log parse(Kind kind, std::string_view text);
// The text of `entries` (the last kMaxEntries of them) under the heading of `kind`.
std::string format(Kind kind, const std::vector<Entry>& entries);

// The file at `path`, opened as untrusted.
Log read(Kind kind, const char* path);

// Adds `entry` to the file at `path`, or replaces the last entry when it has the same sequence
// number (a boot or an installation that says more later on keeps one entry). A missing or
// damaged file is started anew; `was_damaged` (when given) tells that it was damaged. False with
// errno when the file could not be written (the old one then stays).
bool save(Kind kind, const char* path, const Entry& entry, bool* was_damaged = nullptr);

// The sequence number after the log's last entry; 1 for a missing or damaged log.
std::uint32_t next_seq(const Log& log) noexcept;

// Bytes a part holds unescaped.
inline constexpr std::string_view kSafe =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._/+@-";
std::string escape(std::string_view part);
// nullopt for a bad escape or a byte outside kSafe.
std::optional<std::string> unescape(std::string_view part);

}  // namespace history
