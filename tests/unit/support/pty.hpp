// A process whose console is a fresh pseudo-terminal, typed at like a person types at the
// board's serial console.
//
// The console editor switches the terminal out of its own (canonical, echoing) mode only while it
// waits for a key; a key that arrived in between would be echoed and edited by the terminal
// itself. So keys go to the console only while the process waits in its read of the console,
// which the helper sees in /proc (the system call it is blocked in, and its count of reads).
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <functional>
#include <string>
#include <string_view>

namespace mp_test {

class PtyChild {
public:
    // Forks; the child gets the terminal as its controlling terminal, standard input and output
    // (its own session, so the interrupt key reaches it), after `adjust` changed the terminal's
    // settings, and runs `body`. What the body returns comes back through finish().
    explicit PtyChild(const std::function<std::string()>& body,
                      const std::function<void(termios&)>& adjust = {});
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;
    ~PtyChild();

    // Once the child waits for a key: all of `keys` in one write, as a terminal program sends
    // a key's sequence or a paste.
    void send(std::string_view keys);
    // One key after the other, each once the child waits for the next.
    void type(std::string_view keys);
    // The terminal's other side goes away (a hang-up).
    void hang_up();

    // What the child wrote so far, once `text` has appeared in it.
    std::string output_until(std::string_view text);

    struct Result {
        std::string output;    // everything the child wrote on the terminal
        std::string returned;  // what the body returned
        int exit_status = -1;  // -1: killed by a signal
    };
    // Waits for the child to end.
    Result finish();

private:
    void wait_for_read();
    void drain(int timeout_ms);

    int master_ = -1;
    int result_pipe_ = -1;
    pid_t pid_ = -1;
    long reads_done_ = -1;  // the child's count of reads when the last key was sent
    std::string output_;
};

}  // namespace mp_test
