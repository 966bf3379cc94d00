// A process whose console is a fresh pseudo-terminal, typed at like a person types at the board's
// serial console. The line editor leaves the terminal's canonical, echoing mode only while it
// waits for a key, so each key goes in only once the process waits in its read of the console,
// as /proc shows (the system call it is blocked in, and its count of reads).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace mp_test {

struct PtyRun {
    std::string output;    // everything the child wrote on the terminal
    std::string returned;  // what the body returned
};

// Runs `body` in a child whose controlling terminal, standard input and output are the terminal
// (its own session, so the interrupt key reaches it; ISIG off unless `isig`), types `keys`, hangs
// the terminal up after them if `hang_up`, and waits for the child's end.
PtyRun run_on_pty(const std::function<std::string()>& body, std::string_view keys, bool isig = true,
                  bool hang_up = false);

}  // namespace mp_test
