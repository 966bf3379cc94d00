// A process whose console is a fresh pseudo-terminal, typed at key by key: each key goes in only
// once the process waits in its read of the console with the terminal out of canonical mode.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace mp_test {

struct PtyRun {
    std::string output;    // everything the child wrote on the terminal
    std::string returned;  // what the body returned
};

// Runs `body` in a child of its own session whose terminal is the pty (ISIG off unless `isig`),
// types `keys`, hangs the terminal up after them if `hang_up`, and waits for the child's end.
PtyRun run_on_pty(const std::function<std::string()>& body, std::string_view keys, bool isig = true,
                  bool hang_up = false);

}  // namespace mp_test
