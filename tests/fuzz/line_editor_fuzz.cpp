// The line editor under random key streams: byte 0 picks the line size (0 to 130), the rest are
// keys. After every line: fewer than line_size characters, zeros after them, and the terminal's
// picture of the line, rebuilt from the echo alone, shows exactly the text.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "rescue/console.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool files =  // keys from one memory file, the echo into another
        ::dup2(::memfd_create("keys", 0), 0) == 0 && ::dup2(::memfd_create("echo", 0), 1) == 1;
    if (size == 0 || !files) {
        return 0;
    }
    const unsigned line_size = data[0] % 131;
    // ESC ESC CR ends the last line in any escape state: an ended console stays ended.
    const std::string keys = std::string(data + 1, data + size) + "\x1b\x1b\r";
    ::ftruncate(0, 0);
    ::pwrite(0, keys.data(), keys.size(), 0);
    ::lseek(0, 0, SEEK_SET);
    while (::lseek(0, 0, SEEK_CUR) < static_cast<off_t>(keys.size())) {
        ::ftruncate(1, 0);
        ::lseek(1, 0, SEEK_SET);
        auto line = std::make_unique<char[]>(line_size);  // a write past it is the sanitizer's
        std::memset(line.get(), 0x55, line_size);
        get_user_input(line.get(), line_size);
        std::fflush(stdout);
        std::string echo(static_cast<std::size_t>(::lseek(1, 0, SEEK_END)), '\0');
        ::pread(1, echo.data(), echo.size(), 0);
        const std::string_view text(line.get(), ::strnlen(line.get(), line_size));
        // The terminal: characters overwrite at the cursor, BS moves it left, BEL does nothing.
        const bool broken = keys[static_cast<std::size_t>(::lseek(0, 0, SEEK_CUR)) - 1] == 0x03;
        const std::string_view end = broken ? " <break>\n" : "\n";
        bool ok = !console_input_ended() && (line_size == 0 || text.size() < line_size) &&
                  std::count(line.get(), line.get() + line_size, 0) + text.size() == line_size &&
                  echo.ends_with(end);
        std::string picture;
        std::size_t cursor = 0;
        for (const char c : std::string_view(echo).substr(0, echo.size() - end.size())) {
            ok = ok && c != '\n' && c != '\r' && (c != '\b' || cursor > 0);
            if (c == '\b') {
                cursor -= cursor > 0 ? 1 : 0;
            } else if (c != '\a') {
                picture.resize(std::max(picture.size(), cursor + 1));
                picture[cursor++] = c;
            }
        }
        if (!ok || picture.compare(0, text.size(), text) != 0 ||
            picture.find_first_not_of(' ', text.size()) != std::string::npos) {
            std::abort();
        }
    }
    return 0;
}
