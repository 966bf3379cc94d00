#include "platform/linux/board_check.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace platform::board_check {

namespace {

constexpr const char* kCpldDevice = "/dev/lamel/cpld_mmmap";

enum class Where { unknown, board, elsewhere };

Where where = Where::unknown;

Where look() {
    struct stat st {};
    if (::stat(kCpldDevice, &st) != 0) {
        const int error = errno;
        std::fprintf(stderr,
                     "mplaunch: cannot stat %s (%s): not on the board, devices and commands "
                     "disabled\n",
                     kCpldDevice, std::strerror(error));
        return Where::elsewhere;
    }
    if (!S_ISCHR(st.st_mode)) {
        std::fprintf(stderr,
                     "mplaunch: %s is not a character device: not on the board, devices and "
                     "commands disabled\n",
                     kCpldDevice);
        return Where::elsewhere;
    }
    return Where::board;
}

}  // namespace

bool on_board() {
    if (where == Where::unknown) {
        // The caller may go on to report its own failure through errno.
        const int saved = errno;
        where = look();
        errno = saved;
    }
    return where == Where::board;
}

void forget() {
    where = Where::unknown;
}

}  // namespace platform::board_check
