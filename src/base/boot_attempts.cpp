#include "base/boot_attempts.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "base/durable_file.hpp"
#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "base/untrusted_file.hpp"

namespace base {

namespace {

// Longer than any file this module writes ("image1 255 confirmed\n" twice).
constexpr std::size_t kMaxText = 64;

constexpr const char* kStates[] = {"trial", "confirmed"};

// A count of 0 to 255 at `text`; advances `text` past it.
bool parse_count(const char*& text, std::uint8_t& out) {
    unsigned value = 0;
    const char* p = text;
    while (*p >= '0' && *p <= '9' && p - text < 3) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    if (p == text || value > 255) {
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    text = p;
    return true;
}

// " trial" or " confirmed" (or nothing: an earlier launcher's line, on trial), then the newline.
bool parse_state(const char*& text, bool& confirmed) {
    confirmed = false;
    if (*text == ' ') {
        ++text;
        const std::size_t n = std::strlen(kStates[0]);
        const std::size_t m = std::strlen(kStates[1]);
        if (std::strncmp(text, kStates[0], n) == 0) {
            text += n;
        } else if (std::strncmp(text, kStates[1], m) == 0) {
            confirmed = true;
            text += m;
        } else {
            return false;
        }
    }
    return *text++ == '\n';
}

bool parse(const char* text, BootAttempts& out) {
    for (const char* name : {"image1 ", "image2 "}) {
        const std::size_t n = std::strlen(name);
        SlotAttempts& slot = out.of(name[5] - '0');
        if (std::strncmp(text, name, n) != 0) {
            return false;
        }
        text += n;
        if (!parse_count(text, slot.count) || !parse_state(text, slot.confirmed)) {
            return false;
        }
    }
    return *text == '\0';
}

// Writes `text` as the whole of a file made afresh at `path`, synced (no rename: a file in RAM).
bool write_fresh(const char* path, std::span<const char> text) {
    UniqueFd fd = create_fresh(path, 0644);
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return fd && write_all(fd.get(), bytes) && ::fsync(fd.get()) == 0 && fd.close() == 0;
}

}  // namespace

BootAttempts read_boot_attempts(const char* path, StateFile* found) {
    StateFile how = StateFile::unreadable;
    BootAttempts attempts;
    Found opened = Found::failed;
    const UniqueFd fd = open_regular(path, opened);
    std::array<char, kMaxText + 1> text{};
    if (opened == Found::missing) {
        how = StateFile::missing;
    } else if (opened == Found::not_regular) {
        how = StateFile::not_regular;
    } else if (fd) {
        // One byte more than any file in a known form, and the last one stays 0.
        const std::size_t room = text.size() - 1;
        const Transfer t =
            read_full(fd.get(), std::span(reinterpret_cast<std::uint8_t*>(text.data()), room));
        if (t && t.done < room && parse(text.data(), attempts)) {
            how = StateFile::read;
        } else {
            attempts = {};
        }
    }
    if (found != nullptr) {
        *found = how;
    }
    return attempts;
}

bool write_boot_attempts(const char* path, const BootAttempts& attempts) {
    std::array<char, kMaxText> text{};
    const int n = std::snprintf(
        text.data(), text.size(), "image1 %u %s\nimage2 %u %s\n", unsigned{attempts.slots[0].count},
        kStates[attempts.slots[0].confirmed ? 1 : 0], unsigned{attempts.slots[1].count},
        kStates[attempts.slots[1].confirmed ? 1 : 0]);
    return write_durably(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()),
                                         static_cast<std::size_t>(n)));
}

bool set_slot_attempts(const char* path, int slot, SlotAttempts want, StateFile& found) {
    BootAttempts attempts = read_boot_attempts(path, &found);
    const bool known = found == StateFile::read || found == StateFile::missing;
    if (known && attempts.of(slot) == want) {
        return true;
    }
    attempts.of(slot) = want;
    return write_boot_attempts(path, attempts);
}

bool start_trial(const char* path, int slot) {
    StateFile found = StateFile::read;
    if (set_slot_attempts(path, slot, {}, found)) {
        return true;
    }
    if (found == StateFile::read) {
        return false;
    }
    std::fprintf(stderr, "%s %s and cannot be replaced (%s).\n", path,
                 found == StateFile::not_regular ? "is not a regular file" : "cannot be read",
                 std::strerror(errno));
    return true;
}

bool record_booted_slot(const char* path, int slot, bool counted) {
    static constexpr char kUncounted[] = " uncounted";
    std::string text(1, slot == 2 ? '2' : '1');
    if (!counted) {
        text += kUncounted;
    }
    text += '\n';
    return write_fresh(path, std::span<const char>(text.data(), text.size()));
}

int booted_slot(const char* path, bool* counted) {
    Found found = Found::failed;
    const UniqueFd fd = open_regular(path, found);
    std::array<std::uint8_t, 16> text{};
    const Transfer t = fd ? read_full(fd.get(), text) : Transfer{.error = EBADF};
    const std::string_view got(reinterpret_cast<const char*>(text.data()), t.done);
    const bool plain = got == "1\n" || got == "2\n";
    if (!t || (!plain && got != "1 uncounted\n" && got != "2 uncounted\n")) {
        return 0;
    }
    if (counted != nullptr) {
        *counted = plain;
    }
    return got[0] - '0';
}

void forget_booted_slot(const char* path) {
    static_cast<void>(remove_entry(path));
}

}  // namespace base
