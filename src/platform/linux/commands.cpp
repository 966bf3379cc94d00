// Commands of the target system: a command line through the shell, or the process replaced.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/board_check.hpp"
#include "platform/platform.hpp"

namespace platform {

int run_system(const char* command) {
    if (!board_check::on_board()) {
        // system(NULL) asks whether a shell is there: off the board there is none to offer.
        errno = ENOENT;
        return command == nullptr ? 0 : -1;
    }
    // The shell writes straight to the descriptor; without the flush a message printed just
    // before would come out after the command's own output whenever stdout is a pipe or file.
    std::fflush(stdout);
    return std::system(command);
}

int run_exec(const char* program) {
    if (!board_check::on_board()) {
        errno = ENOENT;
        return -1;
    }
    // Whatever stdio still buffers is lost with the old process image.
    std::fflush(stdout);
    return ::execlp(program, program, static_cast<char*>(nullptr));
}

}  // namespace platform
