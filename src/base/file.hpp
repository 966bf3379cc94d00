// The owner of a stdio stream: closed on every path that does not hand it on.
#pragma once

#include <cstdio>
#include <memory>

namespace base {

struct FileCloser {
    void operator()(std::FILE* fp) const noexcept { std::fclose(fp); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Closes now and reports the close's own failure (a write error deferred to the flush).
inline bool close_file(File& file) noexcept {
    return std::fclose(file.release()) == 0;
}

}  // namespace base
