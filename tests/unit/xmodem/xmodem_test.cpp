// Xmodem1K and the speed switch on a virtual clock (each pause advances it and lets the far end
// act), with the operator and a scripted sender at the master of a pseudo-terminal that is the
// jail's /dev/ttyS0 (standard output and error on the same line, as on the board).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>

#include "platform/platform.hpp"
#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem.hpp"
#include "xmodem/xmodem_testing.hpp"

namespace {
std::uint64_t now_us = 0;
unsigned sleeps = 0;  // whole seconds paused (the operator's waits)
std::function<void()> on_tick = [] {};
}  // namespace

unsigned int platform::clock_sleep(unsigned int seconds) {
    sleeps += seconds;
    return clock_usleep(seconds * 1000000), 0;
}
int platform::clock_usleep(useconds_t microseconds) {
    now_us += microseconds;
    return on_tick(), 0;
}
void wait_for_input(int, useconds_t microseconds) {  // the whole pause: the sender acts after it
    platform::clock_usleep(microseconds);
}

namespace {

constexpr char SOH = 1, STX = 2, EOT = 4, ACK = 6, NAK = 0x15, CAN = 0x18;

// One word of a script: 1K block n as "n", 128-byte as "sn", "!" for a bad CRC, E(OT), X (CAN;
// x with bit 7 set), K (ACK), z (noise), T (a lone STX), h (a header of block 2 and no data),
// b (a bad complement).
std::string item(const std::string& w) {
    const std::map<char, std::string> bytes = {
        {'E', {EOT}},      {'X', {CAN}},      {'x', {static_cast<char>(CAN | 0x80)}},
        {'K', {ACK}},      {'z', "z"},        {'T', {STX}},
        {'h', "\1\2\xFD"}, {'b', {STX, 1, 1}}};
    if (const auto it = bytes.find(w[0]); it != bytes.end()) {
        return it->second;
    }
    const bool s = w[0] == 's';
    const auto n = static_cast<unsigned>(std::atoi(w.c_str() + s));
    std::string f{s ? SOH : STX, static_cast<char>(n), static_cast<char>(0xFF - n)};
    std::uint16_t crc = w.back() == '!';
    for (unsigned i = 0; i < (s ? 128U : 1024U); ++i) {
        f += static_cast<char>(n * 37 + i * 11 + i / 7);
        crc = crc16_update(crc, static_cast<std::uint8_t>(f.back()));
    }
    return f + static_cast<char>(crc >> 8) + static_cast<char>(crc);
}

// The lowest free descriptors now, which the next opens take.
std::pair<int, int> next_fds() {
    const int a = ::dup(0), b = ::dup(0);
    return ::close(a), ::close(b), std::pair(a, b);
}

// After each pause the screen is read, the sender answered and the operator's keys of that
// second typed ("" hangs up).
class Line : public testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("MP_TEST_NO_JAIL") != nullptr) {
            GTEST_SKIP() << "needs the jail's /dev";
        }
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
        ::unlink("/dev/ttyS0");
        ASSERT_EQ(::symlink(::ptsname(master), "/dev/ttyS0"), 0);
        line = ::open("/dev/ttyS0", O_RDWR | O_NOCTTY);
        saved_stdout = ::dup(STDOUT_FILENO);
        saved_stderr = ::dup(STDERR_FILENO);
        console = settings();
        now_us = sleeps = 0;
        late = chatter = false;
        heard = std::string::npos;
        screen.clear();
        on_tick = [this] { tick(); };
    }
    void TearDown() override {
        on_tick = [] {};
        ::close(saved_stdout);
        ::close(saved_stderr);
        ::close(line);
        ::close(master);
        ::unlink("/dev/ttyS0");
    }
    // Types `bytes` and lets them reach the line before the board reads again.
    void type(const std::string& bytes) {
        pollfd p{line, POLLIN, 0};
        ASSERT_TRUE(::write(master, bytes.data(), bytes.size()) > 0 && ::poll(&p, 1, 5000) == 1);
    }
    void tick() {
        if (now_us > 3600000000ULL) {
            throw std::runtime_error("the transfer did not end within an hour");
        }
        char buf[512];
        for (ssize_t n; master >= 0 && (n = ::read(master, buf, sizeof buf)) > 0;) {
            screen.append(buf, static_cast<std::size_t>(n));
        }
        // A step of the script: the answer it waits for (C, A(CK), N(AK); L: a C after 3.5 s),
        // then its words, joined by "+" and typed in one write (F: /image closed behind the
        // board's back).
        for (; pending && heard < screen.size(); ++heard) {
            const char wanted = step[0] == 'A' ? ACK : step[0] == 'N' ? NAK : 'C';
            if (screen[heard] == wanted && (step[0] != 'L' || now_us >= 3500000)) {
                std::istringstream words(step.substr(1));
                std::string typed;
                for (std::string w; std::getline(words, w, '+');) {
                    typed += w == "F" ? (::close(file), "") : item(w);
                }
                if (!typed.empty()) {
                    type(typed);
                    late |= screen.find("back to 9600") != std::string::npos;
                }
                pending = static_cast<bool>(script >> step);
            }
        }
        if (chatter) {
            type("\r");
        }
        const auto key = keys.find(sleeps);
        if (key != keys.end() && key->second.empty()) {
            ::close(master);
            master = -1;
        } else if (key != keys.end()) {
            type(key->second);
            heard = screen.size();
            keys.erase(key);
        }
    }
    using Settings = std::tuple<tcflag_t, tcflag_t, tcflag_t, tcflag_t, std::string>;
    Settings settings() const {  // a failure names the field
        termios t{};
        ::tcgetattr(line, &t);
        return std::tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag,
                          std::string(t.c_cc, t.c_cc + NCCS));
    }
    // Standard output and error on the line while `f` runs, even if it throws.
    template <class F>
    auto on_console(F f) {
        struct Back {
            int out, err;
            ~Back() { std::fflush(stdout), ::dup2(out, STDOUT_FILENO), ::dup2(err, STDERR_FILENO); }
        } const back{saved_stdout, saved_stderr};
        std::fflush(stdout), ::dup2(line, STDOUT_FILENO), ::dup2(line, STDERR_FILENO);
        return f();
    }
    std::map<unsigned, std::string> keys;  // after that many waits
    std::istringstream script;
    std::string step, screen;
    bool pending = false;
    bool late = false;      // the sender still typed after the switch back was announced
    bool chatter = false;   // a carriage return typed at every pause
    std::size_t heard = 0;  // the next screen byte the sender looks at, from the first key on
    int file = -1;          // the descriptor /image is to get
    int master = -1, line = -1, saved_stdout = -1, saved_stderr = -1;
    Settings console;
};

struct Case {
    const char *name, *script, *transcript, *kept;  // kept: the blocks in the file, as words
    bool fails = false;                             // Xmodem1K gives 0
};

// The transcript is the receiver's answers: C, A(CK), N(AK), X (CAN).
TEST_F(Line, ScriptedSenders) {
    const Case cases[] = {
        {"late sender", "L1 AE NE", "CCCCANA", "1"},
        {"one EOT, then silence", "C1 AE", "CANA", "1"},
        {"repeated block written once", "C1 A1 A2 AE NE", "CAAANA", "1 2"},
        {"bad CRC: NAK, good repeat clears retries", "C1 A2! N2 A3! N3! N3 AE NE", "CANANNANA",
         "1 2 3"},
        {"three bad frames in a row cancel", "C1 A2! N2! N2!", "CANNXXXXX", "1", true},
        {"block two ahead cancels", "C1 A3", "CAXXXXX", "1", true},
        {"block 0 before the first", "Cs0 C1 AE NE", "CCANA", "1"},
        {"block 0 after the first cancels", "C1 As0", "CAXXXXX", "1", true},
        {"128- and 1024-byte blocks mixed", "Cs1 A2 As3 AE NE", "CAAANA", "s1 2 s3"},
        {"silent after a start byte: NAK, not ACK", "C1 AT N2 AE NE", "CANANA", "1 2"},
        {"silent after the header", "C1 Ah N2 AE NE", "CANANA", "1 2"},
        {"silent after a start byte, first block", "CT C1 AE NE", "CCANA", "1"},
        {"lone CAN, early ACK, bad complement", "CX+z CK Cb C1 AE NE", "CCCCANA", "1"},
        {"sender cancels with two CANs", "CX+x", "CXXXXX", "", true},
        {"noise after the first EOT", "C1 AE Nz NE NE", "CANNNA", "1"},
        {"sender busy after the end: the switch back waits", "C1 AE NE Az", "CANA", "1"},
        {"bytes behind a block dropped before its ACK", "C1+s2 As2 AE NE", "CAANA", "1 s2"},
        {"block that cannot be written cancels", "CF+1", "CXXXXX", "", true},
        {"file that does not close", "Cs1 AE NE AF", "CANA", "s1", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        script = std::istringstream(c.script);
        pending = static_cast<bool>(script >> step);
        keys = {{1, "\r"}, {2, "\n"}};
        const auto fds = next_fds();
        file = fds.second;  // the line takes the first
        const int got = on_console([] { return Xmodem1K("/image"); });
        EXPECT_EQ(next_fds(), fds) << "a descriptor left open";
        // The prompts survive the switches' flushes of the line.
        const std::string prompt =
            "       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n       before "
            "initiating the download.\r\n";
        const std::size_t from = screen.find(prompt) + prompt.size();
        const std::size_t to = screen.find(
            "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n", from);
        ASSERT_NE(to, std::string::npos) << screen;
        std::string transcript, kept;
        for (const char a : screen.substr(from, to - from)) {
            transcript += a == ACK ? 'A' : a == NAK ? 'N' : a == CAN ? 'X' : a;
        }
        std::istringstream words(c.kept);
        for (std::string w; words >> w;) {
            kept += item(w).substr(3, w[0] == 's' ? 128 : 1024);
        }
        std::ifstream in("/image", std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), kept);
        EXPECT_EQ(got, c.fails ? 0 : static_cast<int>(kept.size()));
        // The receiver's lines on standard error, the same line, only after its last answer: the
        // sender would take them for answers.
        EXPECT_EQ(transcript.substr(0, std::strlen(c.transcript)), c.transcript);
        EXPECT_TRUE(std::regex_match(transcript.substr(std::strlen(c.transcript)),
                                     std::regex("((EOT|CAN)\n)*(All done\n)?")))
            << transcript;
        EXPECT_FALSE(pending) << "script not played to its end";
        EXPECT_FALSE(late) << "the switch back announced to a sender still on the line";
        EXPECT_EQ(settings(), console) << "the console's settings not back";
        ::unlink("/image");
    }
}

// The switch's waits: init's for a carriage return, reset's for a line feed (other bytes dropped,
// a reminder after every 11 waits); a line that is gone ends them.
TEST_F(Line, SwitchWaits) {
    // {keys ("" hangs up), the waits when init and reset end, the reminders of each}
    const std::tuple<std::map<unsigned, std::string>, unsigned, unsigned, int, int> rows[] = {
        {{{2, "x\n"}, {22, "\r"}, {43, "\n"}}, 22, 43, 2, 1},
        {{{4, ""}}, 4, 4, 0, 0},
        {{{1, "\r"}, {4, ""}}, 1, 4, 0, 0}};
    for (const auto& [typed, init_waits, reset_waits, init_reminders, reset_reminders] : rows) {
        TearDown();
        SetUp();
        type("\r");  // typed before the switch: no answer to its question
        keys = typed;
        const auto fds = next_fds();
        const int fd = on_console(init_serial);
        const unsigned waited = sleeps;
        EXPECT_EQ(fd >= 0, master >= 0);
        if (fd >= 0) {
            on_console([fd] { return reset_serial(fd), 0; });
        }
        ::close(fd);
        EXPECT_EQ(::fcntl(fds.first, F_GETFD), -1) << "a lost line left open";
        tick();
        const auto count = [this](const std::string& text) {
            int n = 0;
            for (auto at = screen.find(text); at != std::string::npos; ++n) {
                at = screen.find(text, at + 1);
            }
            return n;
        };
        EXPECT_EQ(std::tuple(waited, sleeps,
                             count("\r\n    ... Waiting for the <Enter> key to be hit before the "
                                   "download can start...\r\n"),
                             count("    ... Waiting for the <ENTER> key to be hit...\r")),
                  std::tuple(init_waits, reset_waits, init_reminders, reset_reminders));
    }
}

// A line that never falls silent after the transfer: the switch back is announced after five
// seconds all the same (the test's clock throws after an hour), and the next key ends it.
TEST_F(Line, BusyLineSwitchedBack) {
    chatter = true;
    const int fd = on_console(init_serial);
    ASSERT_GE(fd, 0);
    const std::uint64_t from = now_us;
    on_console([fd] { return reset_serial(fd), 0; });
    ::close(fd);
    EXPECT_EQ(now_us - from, 6000000U) << "five seconds of pauses, then one wait for the key";
    EXPECT_NE(screen.find("       Change the baud rate back to 9600 bps, hit the <ENTER> key\n"),
              std::string::npos);
    EXPECT_EQ(settings(), console);
}

// No file: -1, the line switched back; no port: -1, no file made.
TEST_F(Line, NoFileOrNoPort) {
    keys = {{1, "\r"}, {2, "\n"}};
    EXPECT_EQ(on_console([] { return Xmodem1K("/no/such/dir/image"); }), -1);
    EXPECT_EQ(settings(), console);
    ::unlink("/dev/ttyS0");
    EXPECT_EQ(on_console([] { return Xmodem1K("/image"); }), -1);
    EXPECT_NE(::access("/image", F_OK), 0) << "a file opened without a line";
}

}  // namespace
