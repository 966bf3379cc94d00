// What a caller asks of a jail (see jail.hpp): apart, so that the steps that make a jail
// (steps.hpp) read it without the jail's entry points.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace jail {

struct JailOptions {
    // Host path of the terminal that is the board's console; it appears as dev/ttyS0 and
    // dev/tty (on the board the console is the serial line). Empty: no dev/ttyS0, and dev/tty
    // is the host's /dev/tty (the caller's controlling terminal, if any), or in a locked jail
    // dev/null.
    std::string console;
    // SIGINT outside the jail does not end the caller while the jail runs: the interrupt key of
    // the terminal is for the jailed program. It is ignored (the program shares the caller's
    // process group), or in a locked jail passed on to the jail's process group.
    bool ignore_sigint = false;
    // A board's jail (see above); its program calls lock_down() before anything of the board runs.
    bool locked = false;
    // Called in the calling process once the jail is ready and before the program starts in it,
    // with the host PID of the jail's PID 1 (its namespaces are /proc/<pid>/ns/*): the place to
    // pin the jail's network namespace under a name or to add interfaces to it. An exception
    // from it ends the jail and enter_jail fails with its text.
    std::function<void(pid_t jail_init)> on_ready;
    // Locked jails (see above); 0: no limit.
    long pids_max = 0;
    long long memory_max = 0;
    // Locked jails: tmp/ becomes a tmpfs of this size ("256m"), copied back into the directory's
    // tmp/ when the jail ends (what a power-off leaves for the operator to look at). Empty: tmp/
    // is the directory's own.
    std::string tmp_size;
    // After the jail, SIGTERM and SIGHUP stay blocked in the caller, so that one arriving then
    // cannot stop its tidying up: the caller looks for a pending one (sigpending) when done.
    bool end_on_signals = false;
};

}  // namespace jail
