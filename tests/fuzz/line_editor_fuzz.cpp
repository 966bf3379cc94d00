// The console's line editor under random key streams. The first byte picks the line size (0 to
// 130), the rest are keys. Checked after every line: never more than line_size - 1 characters, a
// NUL-terminated text with zeros after it, and the terminal's picture of the line, rebuilt from
// the echo alone, shows exactly the text.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "rescue/console.hpp"

namespace {

int keys_fd = -1;
int echo_fd = -1;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "line editor: %s\n", what);
        std::abort();
    }
}

// A terminal line that knows only what the editor sends: characters overwrite at the cursor,
// BS moves it left, BEL changes nothing, LF ends the line.
void check_picture(const std::string& echo, const char* text, bool broken) {
    std::string picture;
    std::size_t cursor = 0;
    std::string_view shown = echo;
    // Ctrl-C prints its word where the cursor stands; every other end is one LF.
    const std::string_view end = broken ? " <break>\n" : "\n";
    check(shown.size() >= end.size() && shown.substr(shown.size() - end.size()) == end,
          "the line is not closed as its last key closes it");
    shown.remove_suffix(end.size());
    for (const char c : shown) {
        if (c == '\b') {
            check(cursor > 0, "BS left of the first column");
            --cursor;
        } else if (c == '\a') {
        } else {
            check(c != '\n' && c != '\r', "line end inside the line");
            if (cursor == picture.size()) {
                picture.push_back(c);
            } else {
                picture[cursor] = c;
            }
            ++cursor;
        }
    }
    const std::size_t length = std::strlen(text);
    check(picture.size() >= length && picture.compare(0, length, text) == 0,
          "the terminal shows another text");
    check(picture.find_first_not_of(' ', length) == std::string::npos,
          "the terminal shows more than the text");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    keys_fd = ::memfd_create("keys", 0);
    echo_fd = ::memfd_create("echo", 0);
    ::dup2(keys_fd, 0);
    ::dup2(echo_fd, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const unsigned line_size = data[0] % 131;
    // Whatever escape state the keys leave, ESC ESC CR ends the last line, so the input never
    // runs dry (an ended console stays ended for the life of the process).
    std::string keys(reinterpret_cast<const char*>(data + 1), size - 1);
    keys += "\x1b\x1b\r";
    ::ftruncate(0, 0);
    ::pwrite(0, keys.data(), keys.size(), 0);
    ::lseek(0, 0, SEEK_SET);

    const auto end = static_cast<off_t>(keys.size());
    while (::lseek(0, 0, SEEK_CUR) < end) {
        ::ftruncate(1, 0);
        ::lseek(1, 0, SEEK_SET);
        // Exactly line_size bytes: the sanitizer catches a write past them.
        auto line = std::make_unique<char[]>(line_size);
        std::memset(line.get(), 0x55, line_size);
        get_user_input(line.get(), line_size);
        check(!console_input_ended(), "the keys ran dry");
        std::fflush(stdout);
        // The key that ended the line is the last one read.
        const bool broken = keys[static_cast<std::size_t>(::lseek(0, 0, SEEK_CUR)) - 1] == 0x03;
        std::string echo(static_cast<std::size_t>(::lseek(1, 0, SEEK_END)), '\0');
        ::pread(1, echo.data(), echo.size(), 0);
        if (line_size == 0) {
            check_picture(echo, "", broken);
            continue;
        }
        const std::size_t length = ::strnlen(line.get(), line_size);
        check(length < line_size, "the text fills the whole buffer");
        for (std::size_t i = length; i < line_size; ++i) {
            check(line[i] == 0, "a byte after the text is not zero");
        }
        check_picture(echo, line.get(), broken);
    }
    return 0;
}
