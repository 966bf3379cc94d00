// The percentage an operator watches while a long write goes on: "NNN%" rewritten in place with
// four backspaces after a lead of blanks, and "100%" with a newline at the end.
#pragma once

#include <cstdint>
#include <cstdio>

namespace base {

class Progress {
public:
    // Prints `lead` (the blanks the first backspaces step over).
    explicit Progress(const char* lead) noexcept { std::fputs(lead, stdout); }

    void show(std::uint64_t done, std::uint64_t total) const noexcept {
        std::printf("\b\b\b\b%3.3d%c", static_cast<int>(done * 100 / total), '%');
        std::fflush(stdout);
    }
    void finish() const noexcept { std::printf("\b\b\b\b100%c\n", '%'); }
};

}  // namespace base
