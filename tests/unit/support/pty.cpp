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
bool patience_left(std::chrono::steady_clock::time_point since) {
    return std::chrono::steady_clock::now() - since < std::chrono::seconds(30);
}

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

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) {
            throw std::runtime_error("short write");
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

PtyChild::PtyChild(const std::function<std::string()>& body,
                   const std::function<void(termios&)>& adjust) {
    int result[2];
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 || ::pipe(result) != 0) {
        throw std::runtime_error("no pseudo-terminal");
    }
    const std::string slave_path = ::ptsname(master_);
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(master_);
        ::setsid();
        const int slave = ::open(slave_path.c_str(), O_RDWR);  // the controlling terminal
        termios settings{};
        ::tcgetattr(slave, &settings);
        if (adjust) {
            adjust(settings);
        }
        ::tcsetattr(slave, TCSANOW, &settings);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        const std::string returned = body();
        std::fflush(stdout);
        write_all(result[1], returned);
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
    ::close(master_);
    ::close(result_pipe_);
}

void PtyChild::drain(int timeout_ms) {
    pollfd pfd{master_, POLLIN, 0};
    char buf[4096];
    ssize_t n = 0;
    while (master_ >= 0 && ::poll(&pfd, 1, timeout_ms) > 0 &&
           (n = ::read(master_, buf, sizeof buf)) > 0) {
        output_.append(buf, static_cast<std::size_t>(n));
        timeout_ms = 0;
    }
}

void PtyChild::wait_for_read() {
    for (const auto since = std::chrono::steady_clock::now(); patience_left(since);) {
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
    write_all(master_, keys);
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
    for (const auto since = std::chrono::steady_clock::now(); output_.find(text) == output_.npos;) {
        if (!patience_left(since)) {
            throw std::runtime_error("never written: " + std::string(text) + "; got: " + output_);
        }
        drain(10);
    }
    return output_;
}

PtyChild::Result PtyChild::finish() {
    int status = 0;
    for (const auto since = std::chrono::steady_clock::now();
         ::waitpid(pid_, &status, WNOHANG) == 0; drain(10)) {
        if (!patience_left(since)) {
            throw std::runtime_error("the child never ended; it wrote: " + output_);
        }
    }
    pid_ = -1;
    drain(0);
    Result result{output_, "", WIFEXITED(status) ? WEXITSTATUS(status) : -1};
    char buf[4096];
    for (ssize_t n = 0; (n = ::read(result_pipe_, buf, sizeof buf)) > 0;) {
        result.returned.append(buf, static_cast<std::size_t>(n));
    }
    return result;
}

}  // namespace mp_test
