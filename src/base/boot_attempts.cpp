#include "base/boot_attempts.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/io.hpp"
#include "base/unique_fd.hpp"

namespace base {

namespace {

// Longer than any file this module writes ("image1 255\nimage2 255\n").
constexpr std::size_t kMaxText = 32;

// A count of 0 to 255 at `text`, ended by a newline; advances `text` past the newline.
bool parse_count(const char*& text, std::uint8_t& out) {
    unsigned value = 0;
    const char* p = text;
    while (*p >= '0' && *p <= '9' && p - text < 3) {
        value = value * 10 + static_cast<unsigned>(*p - '0');
        ++p;
    }
    if (p == text || *p != '\n' || value > 255) {
        return false;
    }
    out = static_cast<std::uint8_t>(value);
    text = p + 1;
    return true;
}

bool parse(const char* text, BootAttempts& out) {
    for (const char* name : {"image1 ", "image2 "}) {
        const std::size_t n = std::strlen(name);
        if (std::strncmp(text, name, n) != 0) {
            return false;
        }
        text += n;
        if (!parse_count(text, out.of(name[5] - '0'))) {
            return false;
        }
    }
    return *text == '\0';
}

// The directory of `path`, synced so that the rename itself outlives a power cut.
void sync_parent(const std::string& path) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.get() >= 0) {
        static_cast<void>(::fsync(fd.get()));
    }
}

}  // namespace

BootAttempts read_boot_attempts(const char* path) {
    BootAttempts attempts;
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return attempts;
    }
    std::array<std::uint8_t, kMaxText + 1> text{};
    const Transfer t = read_full(fd.get(), std::span(text).first(kMaxText));
    if (!t || t.done >= kMaxText || !parse(reinterpret_cast<const char*>(text.data()), attempts)) {
        return {};
    }
    return attempts;
}

bool write_boot_attempts(const char* path, const BootAttempts& attempts) {
    std::array<char, kMaxText> text{};
    const int n = std::snprintf(text.data(), text.size(), "image1 %u\nimage2 %u\n",
                                unsigned{attempts.count[0]}, unsigned{attempts.count[1]});
    const std::string temp = std::string(path) + ".new";
    UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const auto bytes =
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<std::size_t>(n));
    if (fd.get() < 0 || !write_all(fd.get(), bytes) || ::fsync(fd.get()) != 0 || fd.close() != 0 ||
        std::rename(temp.c_str(), path) != 0) {
        const int err = errno;  // for the caller's message, past the clean-up
        static_cast<void>(::unlink(temp.c_str()));
        errno = err;
        return false;
    }
    sync_parent(path);
    return true;
}

bool clear_boot_attempts(const char* path, int slot) {
    BootAttempts attempts = read_boot_attempts(path);
    if (attempts.of(slot) == 0) {
        return true;
    }
    attempts.of(slot) = 0;
    return write_boot_attempts(path, attempts);
}

}  // namespace base
