// The console's line editor under random key streams. The first byte picks the line size (0 to
// 130), the rest are keys. Checked after every line: never more than line_size - 1 characters, a
// NUL-terminated text with zeros after it, and the terminal's picture of the line, rebuilt from
// the echo alone, shows exactly the text.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "rescue/console.hpp"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "line editor: %s\n", what);
        std::abort();
    }
}

// A terminal line that knows only what the editor sends: characters overwrite at the cursor,
// BS moves it left, BEL changes nothing; the line ends with LF, or " <break>" and LF after Ctrl-C.
void check_picture(std::string_view echo, std::string_view text, bool broken) {
    const std::string_view end = broken ? " <break>\n" : "\n";
    check(echo.size() >= end.size() && echo.substr(echo.size() - end.size()) == end,
          "the line is not closed as its last key closes it");
    echo.remove_suffix(end.size());
    std::string picture;
    std::size_t cursor = 0;
    for (const char c : echo) {
        check(c != '\n' && c != '\r' && (c != '\b' || cursor > 0),
              "BS left of the line or LF in it");
        if (c == '\b') {
            --cursor;
        } else if (c != '\a') {
            picture.resize(std::max(picture.size(), cursor + 1));
            picture[cursor++] = c;
        }
    }
    check(picture.compare(0, text.size(), text) == 0 &&
              picture.find_first_not_of(' ', text.size()) == std::string::npos,
          "the terminal shows another text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Keys from one memory file, the echo into another.
    static const bool files =
        ::dup2(::memfd_create("keys", 0), 0) == 0 && ::dup2(::memfd_create("echo", 0), 1) == 1;
    if (size == 0 || !files) {
        return 0;
    }
    const unsigned line_size = data[0] % 131;
    // Whatever escape state the keys leave, ESC ESC CR ends the last line, so the input never
    // runs dry (an ended console stays ended for the life of the process).
    const std::string keys =
        std::string(reinterpret_cast<const char*>(data + 1), size - 1) + "\x1b\x1b\r";
    ::ftruncate(0, 0);
    ::pwrite(0, keys.data(), keys.size(), 0);
    ::lseek(0, 0, SEEK_SET);
    while (::lseek(0, 0, SEEK_CUR) < static_cast<off_t>(keys.size())) {
        ::ftruncate(1, 0);
        ::lseek(1, 0, SEEK_SET);
        // Exactly line_size bytes: the sanitizer catches a write past them.
        auto line = std::make_unique<char[]>(line_size);
        std::memset(line.get(), 0x55, line_size);
        get_user_input(line.get(), line_size);
        check(!console_input_ended(), "the keys ran dry");
        std::fflush(stdout);
        std::string echo(static_cast<std::size_t>(::lseek(1, 0, SEEK_END)), '\0');
        ::pread(1, echo.data(), echo.size(), 0);
        // The key that ended the line is the last one read.
        const bool broken = keys[static_cast<std::size_t>(::lseek(0, 0, SEEK_CUR)) - 1] == 0x03;
        const std::string_view text(line.get(), ::strnlen(line.get(), line_size));
        check(line_size == 0 || text.size() < line_size, "the text fills the whole buffer");
        for (std::size_t i = text.size(); i < line_size; ++i) {
            check(line[i] == 0, "a byte after the text is not zero");
        }
        check_picture(echo, text, broken);
    }
    return 0;
}
