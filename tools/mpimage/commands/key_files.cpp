#include "key_files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include "base/unique_fd.hpp"
#include "package_file.hpp"

namespace mpimage {

std::string read_small_file(const std::string& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        io_error(path, "cannot open");
    }
    char text[512];
    const ssize_t n = ::read(fd.get(), text, sizeof text);
    if (n < 0) {
        io_error(path, "cannot read");
    }
    std::string out(text, static_cast<std::size_t>(n));
    sodium_memzero(text, sizeof text);
    return out;
}

void need_crypto() {
    if (!signing::crypto_ready()) {
        throw Failure(EXIT_USAGE, "libsodium could not be initialised");
    }
}

}  // namespace mpimage
