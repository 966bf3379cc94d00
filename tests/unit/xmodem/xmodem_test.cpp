// Xmodem1K and the speed switch on a virtual clock (each pause advances it and lets the far end
// act, so the runs repeat byte for byte), with the operator and a scripted sender at the master
// of a pseudo-terminal that is the jail's /dev/ttyS0 (standard output on the same line).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "platform/platform.hpp"
#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem.hpp"

namespace vclock {
std::uint64_t now_us = 0;
unsigned sleeps = 0;  // whole seconds paused (the operator's waits)
std::function<void()> on_tick = [] {};
}  // namespace vclock

namespace platform {
unsigned int clock_sleep(unsigned int seconds) {
    vclock::now_us += std::uint64_t{seconds} * 1000000;
    vclock::sleeps += seconds;
    vclock::on_tick();
    return 0;
}
int clock_usleep(useconds_t microseconds) {
    vclock::now_us += microseconds;
    vclock::on_tick();
    return 0;
}
}  // namespace platform

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t SOH = 1, STX = 2, EOT = 4, ACK = 6, NAK = 0x15, CAN = 0x18;

Bytes data_of(unsigned block, std::size_t size) {
    Bytes d(size);
    for (std::size_t i = 0; i < size; ++i) {
        d[i] = static_cast<std::uint8_t>(block * 37 + i * 11 + i / 7);
    }
    return d;
}

Bytes frame(const Bytes& data, unsigned number, bool bad_crc = false) {
    const auto n = static_cast<std::uint8_t>(number);
    Bytes f{data.size() == 128 ? SOH : STX, n, static_cast<std::uint8_t>(0xFF - n)};
    std::uint16_t crc = bad_crc ? 1 : 0;
    for (const std::uint8_t b : data) {
        f.push_back(b);
        crc = crc16_update(crc, b);
    }
    f.insert(f.end(), {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});
    return f;
}

// One word of a script: 1K block n as "n", 128-byte as "sn", "!" for a bad CRC, E(OT), X (CAN;
// x with bit 7 set), K (ACK), z (noise), T (a lone STX), h (a header of block 2 and no data),
// b (a bad complement), Y (a YMODEM block 0).
Bytes item(const std::string& w) {
    Bytes ymodem(128, 0);
    const std::string name = std::string("image") + '\0' + "4096";
    std::copy(name.begin(), name.end(), ymodem.begin());
    const std::map<char, Bytes> bytes = {
        {'E', {EOT}},          {'X', {CAN}},       {'x', {CAN | 0x80}},
        {'K', {ACK}},          {'z', {'z'}},       {'T', {STX}},
        {'h', {SOH, 2, 0xFD}}, {'b', {STX, 1, 1}}, {'Y', frame(ymodem, 0)}};
    const auto it = bytes.find(w[0]);
    const bool s = w[0] == 's';
    const auto n = static_cast<unsigned>(std::atoi(w.c_str() + s));
    return it != bytes.end() ? it->second : frame(data_of(n, s ? 128 : 1024), n, w.back() == '!');
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
        ::tcgetattr(line, &console);
        vclock::now_us = vclock::sleeps = 0;
        heard = std::string::npos;
        screen.clear();
        vclock::on_tick = [this] { tick(); };
    }
    void TearDown() override {
        vclock::on_tick = [] {};
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
        if (vclock::now_us > 3600000000ULL) {
            throw std::runtime_error("the transfer did not end within an hour");
        }
        char buf[512];
        for (ssize_t n; master >= 0 && (n = ::read(master, buf, sizeof buf)) > 0;) {
            screen.append(buf, static_cast<std::size_t>(n));
        }
        // A step of the script: the answer it waits for (C, A(CK), N(AK); L: a C after 3.5 s),
        // then its words, joined by "+" (F: /image closed behind the board's back).
        for (; pending && heard < screen.size(); ++heard) {
            const bool late = step[0] == 'L';
            const char wanted = step[0] == 'A' ? ACK : step[0] == 'N' ? NAK : 'C';
            if (screen[heard] == wanted && (!late || vclock::now_us >= 3500000)) {
                std::istringstream words(step.substr(1));
                for (std::string w; std::getline(words, w, '+');) {
                    const Bytes b = item(w);
                    if (w == "F") {
                        ::close(file);
                    } else {
                        type(std::string(b.begin(), b.end()));
                    }
                }
                pending = static_cast<bool>(script >> step);
            }
        }
        const auto key = keys.find(vclock::sleeps);
        if (key != keys.end() && key->second.empty()) {
            ::close(master);
            master = -1;
        } else if (key != keys.end()) {
            type(key->second);
            heard = screen.size();
            keys.erase(key);
        }
    }
    template <class F>
    auto on_console(F f) {  // standard output on the line while `f` runs, even if it throws
        struct Back {
            int saved;
            ~Back() { std::fflush(stdout), ::dup2(saved, STDOUT_FILENO), ::close(saved); }
        };
        std::fflush(stdout);
        const Back back{::dup(STDOUT_FILENO)};
        ::dup2(line, STDOUT_FILENO);
        return f();
    }
    std::map<unsigned, std::string> keys;  // after that many waits
    std::istringstream script;
    std::string step, screen;
    bool pending = false;
    std::size_t heard = 0;  // the next screen byte the sender looks at, from the first key on
    int file = -1;          // the descriptor /image is to get
    int master = -1, line = -1;
    termios console{};
};
using Xmodem = Line;
using SerialSwitch = Line;

// The lowest free descriptors now, which the next opens take.
std::pair<int, int> next_fds() {
    const int a = ::dup(0), b = ::dup(0);
    ::close(a);
    ::close(b);
    return {a, b};
}

struct Case {
    std::string name, script, transcript, kept;  // kept: the blocks in the file, as words
    bool fails = false;                          // Xmodem1K gives 0
};

// The transcript is the receiver's answers: C, A(CK), N(AK), X (CAN).
TEST_F(Xmodem, ScriptedSenders) {
    const Case cases[] = {
        {"late sender", "L1 AE NE", "CCCCANA", "1"},
        {"one EOT, then silence", "C1 AE", "CANA", "1"},
        {"repeated block written once", "C1 A1 A2 AE NE", "CAAANA", "1 2"},
        {"bad CRC: NAK, good repeat clears retries", "C1 A2! N2 A3! N3! N3 AE NE", "CANANNANA",
         "1 2 3"},
        {"three bad frames in a row cancel", "C1 A2! N2! N2!", "CANNXXXXX", "1", true},
        {"block two ahead cancels", "C1 A3", "CAXXXXX", "1", true},
        {"block 0 before the first", "CY C1 AE NE", "CCANA", "1"},
        {"block 0 after the first cancels", "C1 AY", "CAXXXXX", "1", true},
        {"128- and 1024-byte blocks mixed", "Cs1 A2 As3 AE NE", "CAAANA", "s1 2 s3"},
        {"silent after a start byte: NAK, not ACK", "C1 AT N2 AE NE", "CANANA", "1 2"},
        {"silent after the header", "C1 Ah N2 AE NE", "CANANA", "1 2"},
        {"silent after a start byte, first block", "CT C1 AE NE", "CCANA", "1"},
        {"lone CAN, early ACK, bad complement", "CX+z CK Cb C1 AE NE", "CCCCANA", "1"},
        {"sender cancels with two CANs", "CX+x", "CXXXXX", "", true},
        {"noise after the first EOT", "C1 AE Nz NE NE", "CANNNA", "1"},
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
        const int got = on_console([this] {
            file = next_fds().second;  // the line takes the first
            return Xmodem1K("/image");
        });
        // The prompts survive the switches' flushes of the line.
        const std::string prompt =
            "       Change the baud rate to 115200 bps and hit the <ENTER> key\r\n       before "
            "initiating the download.\r\n";
        const std::string back =
            "       Change the baud rate back to 9600 bps, hit the <ENTER> key\n";
        const std::size_t from = screen.find(prompt) + prompt.size(), to = screen.find(back, from);
        EXPECT_NE(to, std::string::npos);
        std::string transcript;
        for (const char a : screen.substr(from, to - from)) {
            const auto at = std::string{'C', ACK, NAK, CAN}.find(a);
            transcript += at != std::string::npos ? "CANX"[at] : '?';
        }
        Bytes expected;
        std::istringstream kept(c.kept);
        for (std::string w; kept >> w;) {
            const Bytes d = item(w);
            expected.insert(expected.end(), d.begin() + 3, d.end() - 2);
        }
        std::ifstream in("/image", std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), expected);
        EXPECT_EQ(got, c.fails ? 0 : static_cast<int>(expected.size()));
        EXPECT_EQ(transcript, c.transcript);
        EXPECT_FALSE(pending) << "script not played to its end";
        EXPECT_EQ(::fcntl(file, F_GETFD), -1) << "the file left open";
        ::unlink("/image");
    }
}

TEST_F(SerialSwitch, WaitEndsOnItsKeyOrALostLine) {
    // {reset's wait (line feed) or init's (carriage return), keys, line given, waits, reminders}
    const std::tuple<bool, std::map<unsigned, std::string>, bool, unsigned, std::size_t> waits[] = {
        {false, {{2, "x\n"}, {3, "\r"}}, true, 4, 0},
        {false, {{22, "\r"}}, true, 22, 2},
        {false, {{4, ""}}, false, 4, 0},
        {true, {{1, "x\n"}}, true, 2, 0},
        {true, {{21, "\n"}}, true, 21, 1},
        {true, {{3, ""}}, true, 3, 0}};
    for (const auto& [reset, typed, given, sleeps, reminders] : waits) {
        SCOPED_TRACE(sleeps);
        TearDown();
        SetUp();
        type("\r");  // typed before the switch: no answer to its question
        keys = reset ? std::map<unsigned, std::string>{{1, "\r"}} : typed;
        const int next_fd = next_fds().first;
        const int fd = on_console([] { return init_serial(); });
        EXPECT_EQ(fd >= 0, given);
        EXPECT_TRUE(fd >= 0 || ::fcntl(next_fd, F_GETFD) == -1) << "a lost line left open";
        termios now{};
        ::tcgetattr(line, &now);
        if (fd >= 0) {  // raw 8N1 at 115200, the rest as it was
            EXPECT_TRUE(cfgetispeed(&now) == B115200 && cfgetospeed(&now) == B115200 &&
                        now.c_iflag == IGNBRK && now.c_oflag == 0);
            EXPECT_EQ(now.c_cflag & ~tcflag_t{CBAUD},
                      (console.c_cflag & ~tcflag_t{CSIZE | PARENB | CSTOPB | CBAUD}) | CS8);
            EXPECT_EQ(now.c_lflag, console.c_lflag & ~tcflag_t{ICANON | ECHO | ECHOE | ISIG});
        }
        if (reset) {
            vclock::sleeps = 0;
            keys = typed;
            screen.clear();
            on_console([fd] { return reset_serial(fd), 0; });
            // The console's settings again, field by field (a failure names the field).
            const auto fields = [](const termios& t) {
                return std::vector<unsigned long>{t.c_iflag, t.c_oflag,       t.c_cflag,
                                                  t.c_lflag, cfgetispeed(&t), cfgetospeed(&t)};
            };
            if (master >= 0) {
                ASSERT_EQ(::tcgetattr(line, &now), 0) << std::strerror(errno);
                EXPECT_EQ(fields(now), fields(console));
                EXPECT_EQ(std::string(now.c_cc, now.c_cc + NCCS),
                          std::string(console.c_cc, console.c_cc + NCCS));
            }
        }
        ::close(fd);
        tick();
        EXPECT_EQ(vclock::sleeps, sleeps);
        const std::string reminder = reset ? "    ... Waiting for the <ENTER> key to be hit...\r"
                                           : "\r\n    ... Waiting for the <Enter> key to be hit "
                                             "before the download can start...\r\n";
        std::size_t n = 0;
        for (auto at = screen.find(reminder); at != std::string::npos; ++n) {
            at = screen.find(reminder, at + 1);
        }
        EXPECT_EQ(n, reminders);
    }
}

// No file: -1, the line switched back; no port: -1, no file made.
TEST_F(Xmodem, NoFileOrNoPort) {
    keys = {{1, "\r"}, {2, "\n"}};
    EXPECT_EQ(on_console([] { return Xmodem1K("/no/such/dir/image"); }), -1);
    termios back{};
    ::tcgetattr(line, &back);
    EXPECT_TRUE(screen.find("Change the baud rate back to 9600 bps") != std::string::npos &&
                back.c_lflag == console.c_lflag);
    ::unlink("/dev/ttyS0");
    EXPECT_EQ(on_console([] { return Xmodem1K("/image"); }), -1);
    EXPECT_NE(::access("/image", F_OK), 0) << "a file opened without a line";
}

}  // namespace
