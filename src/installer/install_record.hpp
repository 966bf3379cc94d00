// The install records (history/history.hpp): one entry per installation, saved before its first
// write (as "interrupted", which a power cut leaves standing) and again with its outcome. The
// installer keeps one for every package; the rescue image's copy into a slot keeps its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "history/history.hpp"

// Where a package came from.
struct InstallOrigin {
    const char* source = "unknown";  // "tftp", "xmodem", "rescue-image", "mpboard", "unknown"
    std::string from;                // the server and file name, the line, the host's file
};

namespace installer {

class InstallRecord {
public:
    // This installation's entry, numbered after the last one on the board.
    explicit InstallRecord(const InstallOrigin& origin);

    // A record of the package: its type and version, where it goes and what became of it:
    // "pending" (not reached), "written", "same-version", "booted", "refused", "failed".
    // Returns its index.
    std::size_t add(std::uint32_t type, std::uint32_t id, const std::string& target);
    void set_target(std::size_t index, const std::string& target);
    void set_outcome(std::size_t index, const char* outcome);
    std::size_t records() const noexcept { return records_.size(); }

    // Any other field (history's file form, text values).
    void set(const char* key, const std::string& text) { entry_.set_text(key, text); }
    // The result: "installed", "unchanged", "booted", "refused", "failed" or "interrupted", with
    // the reason of a refusal or the step that failed.
    void result(const char* result, const char* reason = nullptr);

    // Saved whole (a cut leaves the entry as saved last). A damaged file is said once and started
    // anew; a file that cannot be written is said, and the installation goes on.
    void save();

private:
    history::Entry entry_;
    std::vector<history::Item> records_;
};

}  // namespace installer
