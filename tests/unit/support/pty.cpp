#include "support/pty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace mp_test {

PtyRun run_on_pty(const std::function<std::string()>& body, std::string_view keys, bool isig,
                  bool hang_up) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    int result[2];
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 || ::pipe(result) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const std::string slave_path = ::ptsname(master);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(master);
        ::setsid();
        const int slave = ::open(slave_path.c_str(), O_RDWR);  // the controlling terminal
        termios settings{};
        ::tcgetattr(slave, &settings);
        settings.c_lflag &= isig ? ~0U : ~static_cast<tcflag_t>(ISIG);
        ::tcsetattr(slave, TCSANOW, &settings);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        const std::string returned = body();
        std::fflush(stdout);
        ::_exit(::write(result[1], returned.data(), returned.size()) < 0);
    }
    ::close(result[1]);
    PtyRun run;
    const auto drain = [&](int fd, int timeout_ms) {
        pollfd pfd{fd, POLLIN, 0};
        char buf[4096];
        for (ssize_t n = 0;
             fd >= 0 && ::poll(&pfd, 1, timeout_ms) > 0 && (n = ::read(fd, buf, sizeof buf)) > 0;
             timeout_ms = 0) {
            (fd == master ? run.output : run.returned).append(buf, static_cast<std::size_t>(n));
        }
    };
    // Patience bounds a hang only; nothing here measures time.
    const auto await = [&](const std::function<bool()>& done, const char* what) {
        for (const auto since = std::chrono::steady_clock::now(); !done(); drain(master, 1)) {
            if (std::chrono::steady_clock::now() - since > std::chrono::seconds(30)) {
                ::kill(pid, SIGKILL);
                throw std::runtime_error(what + ("; it wrote: " + run.output));
            }
        }
    };
    // The read the last key went to has finished (/proc's count of reads grew) and the next one
    // is blocked on descriptor 0, with the terminal out of its canonical mode.
    const std::string proc = "/proc/" + std::to_string(pid);
    const auto reads = [&] {
        std::string name;
        long count = -1;
        for (std::ifstream io(proc + "/io"); name != "syscr:" && io >> name >> count;) {
        }
        return count;
    };
    long reads_done = -1;
    const auto waits_for_key = [&] {
        const long done = reads();
        std::string call[2];
        std::ifstream(proc + "/syscall") >> call[0] >> call[1];
        termios mode{};
        const bool waits = done > reads_done && call[0] != "running" && call[1] == "0x0" &&
                           ::tcgetattr(master, &mode) == 0 && (mode.c_lflag & ICANON) == 0 &&
                           reads() == done;
        reads_done = waits ? done : reads_done;
        return waits;
    };
    for (std::size_t i = 0; i < keys.size() + (hang_up ? 1 : 0); ++i) {
        await(waits_for_key, "the child never waited for a key");
        if (i == keys.size()) {  // the hang-up
            drain(master, 0);
            ::close(master);
            master = -1;
        } else if (::write(master, &keys[i], 1) != 1) {
            throw std::runtime_error("the terminal took no key");
        }
    }
    await([&] { return ::waitpid(pid, nullptr, WNOHANG) != 0; }, "the child never ended");
    drain(master, 0);
    drain(result[0], -1);
    ::close(master);
    ::close(result[0]);
    return run;
}

}  // namespace mp_test
