// Commands of the board: "reboot", "mount", "tar", ... are real programs only inside a board's
// jail. Anywhere else they would act on the workstation, so they are refused; unit tests record
// them instead.
#include <cerrno>
#include <cstdio>
#include <string_view>
#include <utility>

#include "platform/platform.hpp"
#include "platform/sandbox/board.hpp"
#include "platform/sandbox/host_os.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace platform {

namespace {

sandbox::Recorder g_recorder;

// Checked at every command, not once: a process may be started outside and enter a jail later.
// The jail's marker files alone could be made on a workstation; its PID namespace could not.
bool may_run(const char* command) {
    if (sandbox::detail::inside_board() && sandbox::host::in_child_pid_namespace()) {
        return true;
    }
    std::fprintf(stderr, "sandbox: refusing to run '%s': not inside a sandbox board\n", command);
    errno = EPERM;
    return false;
}

}  // namespace

namespace sandbox {

void set_recorder(Recorder r) {
    g_recorder = std::move(r);
}

}  // namespace sandbox

int run_system(const char* command) {
    if (command == nullptr) {
        errno = EINVAL;
        return -1;
    }
    // The command's output must follow what the launcher printed before it.
    sandbox::host::flush_output();
    if (g_recorder) {
        sandbox::detail::board_log("system", command);
        return g_recorder("system", command);
    }
    if (!may_run(command)) {
        return -1;
    }
    sandbox::detail::board_log("system", command);
    return sandbox::host::shell(command);
}

int run_exec(const char* program) {
    if (program == nullptr) {
        errno = EINVAL;
        return -1;
    }
    sandbox::host::flush_output();
    if (g_recorder) {
        sandbox::detail::board_log("exec", program);
        g_recorder("exec", program);
        errno = ENOEXEC;
        return -1;
    }
    if (!may_run(program)) {
        return -1;
    }
    sandbox::detail::board_log("exec", program);
    return sandbox::host::exec_program(program);
}

}  // namespace platform
