// The line editor on random keys (byte 0: line size 0 to 130): lines end in zeros inside it.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "console/console.hpp"

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
        const std::size_t text = ::strnlen(line.get(), line_size);
        if (console_input_ended() || (line_size != 0 && text >= line_size) ||
            std::count(line.get(), line.get() + line_size, 0) + text != line_size) {
            std::abort();
        }
    }
    return 0;
}
