// The speed switch with an operator at the far end of a pseudo-terminal that is the jail's
// /dev/ttyS0; standard output goes to the same line, as on the board's console.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "virtual_clock.hpp"
#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem.hpp"

namespace {

// The reset's reminder comes back with the console's own output processing (LF as CR LF).
const std::string kInitReminder =
    "\r\n    ... Waiting for the <Enter> key to be hit before the download can start...\r\n";
const std::string kResetReminder = "    ... Waiting for the <ENTER> key to be hit...\r";

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

class SerialSwitch : public testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("MP_TEST_NO_JAIL") != nullptr) {
            GTEST_SKIP() << "needs the jail's /dev";
        }
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(::grantpt(master_), 0);
        ASSERT_EQ(::unlockpt(master_), 0);
        ::unlink("/dev/ttyS0");
        ASSERT_EQ(::symlink(::ptsname(master_), "/dev/ttyS0"), 0);
        line_ = ::open("/dev/ttyS0", O_RDWR | O_NOCTTY);
        ASSERT_GE(line_, 0);
        ::tcgetattr(line_, &console_);
        vclock::sleeps = 0;
        screen.clear();
        vclock::on_tick = [this] { tick(); };
    }
    void TearDown() override {
        vclock::on_tick = [] {};
        ::close(line_);
        if (master_ >= 0) {
            ::close(master_);
        }
        ::unlink("/dev/ttyS0");
    }
    // After each one-second wait: read what the board printed, type the keys of that second
    // (and let them reach the line before the board reads again), or hang up.
    void tick() {
        read_screen();
        const auto key = keys.find(vclock::sleeps);
        if (key == keys.end()) {
            return;
        }
        if (key->second.empty()) {
            ::close(master_);
            master_ = -1;
            return;
        }
        pollfd p{line_, POLLIN, 0};
        if (::write(master_, key->second.data(), key->second.size()) < 0 ||
            ::poll(&p, 1, 5000) != 1) {
            std::fprintf(stderr, "keys lost at %u: %s\n", vclock::sleeps, std::strerror(errno));
            std::abort();  // the pseudo-terminal lost the keys
        }
    }
    // The board's console is the line: standard output goes there while `f` runs.
    template <class F>
    auto on_console(F f) {
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        ::dup2(line_, STDOUT_FILENO);
        const auto result = f();
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        return result;
    }
    void read_screen() {
        char buf[512];
        for (ssize_t n; master_ >= 0 && (n = ::read(master_, buf, sizeof buf)) > 0;) {
            screen.append(buf, static_cast<std::size_t>(n));
        }
    }
    std::map<unsigned, std::string> keys;  // after that many waits; "" hangs up
    std::string screen;
    int master_ = -1;
    int line_ = -1;
    termios console_{};
};

struct Wait {
    const char* name;
    bool reset;  // reset_serial's wait (line feed), else init_serial's (carriage return)
    std::map<unsigned, std::string> keys;
    bool ends_with_line;  // init_serial gives the descriptor
    unsigned sleeps;
    std::size_t reminders;
};

const Wait kWaits[] = {
    {"init: other keys dropped, CR ends", false, {{2, "x\n"}, {3, "\r"}}, true, 4, 0},
    {"init: one reminder by 21 waits", false, {{21, "\r"}}, true, 21, 1},
    {"init: two by 22", false, {{22, "\r"}}, true, 22, 2},
    {"init: hang-up gives up", false, {{4, ""}}, false, 4, 0},
    {"reset: other keys dropped, LF ends", true, {{1, "x\n"}}, true, 2, 0},
    {"reset: two reminders by 22", true, {{22, "\n"}}, true, 22, 2},
    {"reset: hang-up gives up", true, {{3, ""}}, true, 3, 0},
};

TEST_F(SerialSwitch, WaitEndsOnItsKeyOrALostLine) {
    for (const Wait& w : kWaits) {
        SCOPED_TRACE(w.name);
        TearDown();
        SetUp();
        // A carriage return typed before the switch is no answer to its question.
        ASSERT_EQ(::write(master_, "\r", 1), 1);
        pollfd p{line_, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        keys = w.reset ? std::map<unsigned, std::string>{{1, "\r"}} : w.keys;
        const int next_fd = ::dup(0);
        ::close(next_fd);
        const int fd = on_console([] { return init_serial(); });
        if (w.reset) {
            ASSERT_GE(fd, 0);
            vclock::sleeps = 0;
            keys = w.keys;
            screen.clear();
            on_console([fd] {
                reset_serial(fd);
                return 0;
            });
            ::close(fd);
        } else {
            EXPECT_EQ(fd >= 0, w.ends_with_line);
            EXPECT_EQ(fd >= 0 || ::fcntl(next_fd, F_GETFD) == -1, true) << "a lost line left open";
            if (fd >= 0) {
                ::close(fd);
            }
        }
        read_screen();
        EXPECT_EQ(vclock::sleeps, w.sleeps);
        EXPECT_EQ(count(screen, w.reset ? kResetReminder : kInitReminder), w.reminders);
        // The prompt survives the switch's flush of the line.
        EXPECT_NE(screen.find(
                      w.reset ? "       Change the baud rate back to 9600 bps, hit the <ENTER> key"
                              : "       Change the baud rate to 115200 bps and hit the <ENTER> "
                                "key\r\n       before initiating the download.\r\n"),
                  std::string::npos);
    }
}

// Raw 8N1 at 115200 in between, exactly the console's settings afterwards.
TEST_F(SerialSwitch, DownloadSettingsKeepTheRestAndGoBack) {
    keys = {{1, "\r"}};
    const int fd = on_console([] { return init_serial(); });
    ASSERT_GE(fd, 0);
    termios raw{};
    ::tcgetattr(line_, &raw);
    EXPECT_EQ(cfgetispeed(&raw), B115200);
    EXPECT_EQ(cfgetospeed(&raw), B115200);
    EXPECT_EQ(raw.c_iflag, tcflag_t{IGNBRK});
    EXPECT_EQ(raw.c_oflag, 0U);
    EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
    EXPECT_EQ(raw.c_cflag & ~(CSIZE | PARENB | CSTOPB | CBAUD),
              console_.c_cflag & ~(CSIZE | PARENB | CSTOPB | CBAUD));
    EXPECT_EQ(raw.c_lflag, console_.c_lflag & ~tcflag_t{ICANON | ECHO | ECHOE | ISIG});
    EXPECT_EQ(std::string(raw.c_cc, raw.c_cc + NCCS),
              std::string(console_.c_cc, console_.c_cc + NCCS));
    keys = {{2, "\n"}};
    on_console([fd] {
        reset_serial(fd);
        return 0;
    });
    termios back{};
    ::tcgetattr(line_, &back);
    EXPECT_EQ(back.c_iflag, console_.c_iflag);
    EXPECT_EQ(back.c_oflag, console_.c_oflag);
    EXPECT_EQ(back.c_lflag, console_.c_lflag);
    EXPECT_EQ(back.c_cflag, console_.c_cflag);
    ::close(fd);
}

// The ends of Xmodem1K that never reach a transfer: no port, no file.
TEST_F(SerialSwitch, NoPortOrNoFileEndsWithTheLineSwitchedBack) {
    keys = {{1, "\r"}, {2, "\n"}};
    EXPECT_EQ(on_console([] { return Xmodem1K("/no/such/dir/image"); }), -1);
    read_screen();
    EXPECT_NE(screen.find("Change the baud rate back to 9600 bps"), std::string::npos);
    termios back{};
    ::tcgetattr(line_, &back);
    EXPECT_EQ(back.c_lflag, console_.c_lflag);

    ::unlink("/dev/ttyS0");
    EXPECT_EQ(on_console([] { return Xmodem1K("/image"); }), -1);
    struct stat st {};
    EXPECT_NE(::stat("/image", &st), 0) << "a file opened without a line";
}

}  // namespace
