#include "support/pty.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace mp_test {

namespace {

// Bounds a hang only; nothing here measures time.
constexpr auto kPatience = std::chrono::seconds(30);

std::string proc_text(pid_t pid, const char* file) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

long reads_completed(pid_t pid) {
    const std::string io = proc_text(pid, "io");
    const auto at = io.find("syscr: ");
    return at == std::string::npos ? -1 : std::atol(io.c_str() + at + 7);
}

// Blocked in a system call on descriptor 0 (a running process shows "running").
bool blocked_on_stdin(pid_t pid) {
    std::istringstream call(proc_text(pid, "syscall"));
    std::string number;
    std::string first;
    call >> number >> first;
    return number != "running" && first == "0x0";
}

}  // namespace

PtyChild::PtyChild(const std::function<std::string()>& body,
                   const std::function<void(termios&)>& adjust) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const std::string slave_path = ::ptsname(master_);
    int result[2];
    if (::pipe(result) != 0) {
        throw std::runtime_error("no pipe");
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("no fork");
    }
    if (pid_ == 0) {
        ::close(master_);
        ::close(result[0]);
        ::setsid();
        const int slave = ::open(slave_path.c_str(), O_RDWR);  // the controlling terminal
        if (slave < 0) {
            ::_exit(120);
        }
        if (adjust) {
            termios settings{};
            ::tcgetattr(slave, &settings);
            adjust(settings);
            ::tcsetattr(slave, TCSANOW, &settings);
        }
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        if (slave > 1) {
            ::close(slave);
        }
        const std::string returned = body();
        std::fflush(stdout);
        for (std::size_t done = 0; done < returned.size();) {
            const ssize_t n = ::write(result[1], returned.data() + done, returned.size() - done);
            if (n <= 0) {
                ::_exit(121);
            }
            done += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(result[1]);
    result_pipe_ = result[0];
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyChild::~PtyChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
    if (result_pipe_ >= 0) {
        ::close(result_pipe_);
    }
}

void PtyChild::drain(int timeout_ms) {
    if (master_ < 0) {
        return;
    }
    pollfd pfd{master_, POLLIN, 0};
    if (::poll(&pfd, 1, timeout_ms) <= 0) {
        return;
    }
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(master_, buf, sizeof buf)) > 0) {
        output_.append(buf, static_cast<std::size_t>(n));
    }
}

void PtyChild::wait_for_read() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
        drain(1);
        termios settings{};
        const long reads = reads_completed(pid_);
        // The read the last key went to has finished, and the next one waits, with the terminal
        // out of its canonical mode.
        if (reads > reads_done_ && blocked_on_stdin(pid_) && ::tcgetattr(master_, &settings) == 0 &&
            (settings.c_lflag & ICANON) == 0 && reads_completed(pid_) == reads) {
            reads_done_ = reads;
            return;
        }
    }
    throw std::runtime_error("the child never waited for a key; it wrote: " + output_);
}

void PtyChild::send(std::string_view keys) {
    wait_for_read();
    for (std::size_t done = 0; done < keys.size();) {
        const ssize_t n = ::write(master_, keys.data() + done, keys.size() - done);
        if (n <= 0) {
            throw std::runtime_error("the terminal took no key");
        }
        done += static_cast<std::size_t>(n);
    }
}

void PtyChild::type(std::string_view keys) {
    for (const char key : keys) {
        send(std::string_view(&key, 1));
    }
}

void PtyChild::hang_up() {
    wait_for_read();
    drain(0);
    ::close(master_);
    master_ = -1;
}

std::string PtyChild::output_until(std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (output_.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("never written: " + std::string(text) + "; got: " + output_);
        }
        drain(10);
    }
    return output_;
}

PtyChild::Result PtyChild::finish() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("the child never ended; it wrote: " + output_);
        }
        drain(10);
    }
    pid_ = -1;
    drain(0);
    Result result;
    result.output = output_;
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(result_pipe_, buf, sizeof buf)) > 0) {
        result.returned.append(buf, static_cast<std::size_t>(n));
    }
    return result;
}

}  // namespace mp_test
