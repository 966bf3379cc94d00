// The receiver on a virtual clock (every pause advances it at once and lets the peer act, so the
// runs repeat byte for byte): senders of the test's own on a socket pair that plays the line at
// 115200 bit/s (11 bytes a millisecond each way); the speed switch and Xmodem1K with an operator
// on a pseudo-terminal that is the jail's /dev/ttyS0 (standard output on the same line).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/platform.hpp"
#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem.hpp"
#include "xmodem/xmodem_testing.hpp"

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

Bytes data_of(unsigned block, std::size_t size, std::uint64_t seed = 0) {
    Bytes d(size);
    for (std::size_t i = 0; i < size; ++i) {
        d[i] = static_cast<std::uint8_t>((block * 37 + i * 11 + i / 7) ^ (seed * (i % 253)));
    }
    return d;
}

// The sender's CRC bit by bit, so that a wrong table cannot agree with itself.
Bytes frame(const Bytes& data, unsigned number, bool bad_crc = false) {
    const auto n = static_cast<std::uint8_t>(number);
    Bytes f{data.size() == 128 ? SOH : STX, n, static_cast<std::uint8_t>(0xFF - n)};
    unsigned crc = 0;
    for (const std::uint8_t b : data) {
        f.push_back(b);
        crc ^= unsigned{b} << 8;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
    }
    crc ^= bad_crc ? 1U : 0U;
    f.insert(f.end(), {static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});
    return f;
}

// The line and the sender at its far end: every pause lets the sender read the answers (kept
// in `transcript`: C, A(CK), N(AK), X (CAN)) and puts the next 11 queued bytes on the line, each
// through `noise` (direction 0 towards the receiver): what it gives instead.
struct Line {
    std::function<void(std::uint8_t)> on_byte;
    std::function<void()> on_time = [] {};
    std::function<Bytes(int, std::uint64_t, std::uint8_t)> noise;
    std::string transcript;
    std::deque<std::uint8_t> queue;
    int fds[2] = {-1, -1};
    std::uint64_t count[2] = {0, 0};
    Bytes pass(int dir, std::uint8_t b) { return noise ? noise(dir, count[dir]++, b) : Bytes{b}; }
    void tick() {
        if (vclock::now_us > 3600000000ULL) {
            throw std::runtime_error("the transfer did not end within an hour");
        }
        for (std::uint8_t c = 0; ::read(fds[1], &c, 1) == 1;) {
            transcript += c == 'C' ? 'C' : c == ACK ? 'A' : c == NAK ? 'N' : c == CAN ? 'X' : '?';
            for (const std::uint8_t b : pass(1, c)) {
                on_byte(b);
            }
        }
        on_time();
        for (int i = 0; i < 11 && !queue.empty(); ++i, queue.pop_front()) {
            for (const std::uint8_t b : pass(0, queue.front())) {
                EXPECT_EQ(::write(fds[1], &b, 1), 1);
            }
        }
    }
    // The transfer into memory, or into a file of `room` bytes that fills up.
    std::pair<XmodemOutcome, Bytes> receive(std::size_t room = 0) {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        vclock::now_us = 0;
        vclock::on_tick = [this] { tick(); };
        char* mem = nullptr;
        std::size_t size = 0;
        std::vector<char> small(room + 1);
        std::FILE* f =
            room == 0 ? ::open_memstream(&mem, &size) : ::fmemopen(small.data(), room, "w");
        const XmodemOutcome outcome = xmodem_receive(fds[0], f);
        tick();
        vclock::on_tick = [] {};
        std::fclose(f);
        ::close(fds[0]);
        ::close(fds[1]);
        Bytes file(mem, mem + (mem != nullptr ? size : 0));
        std::free(mem);
        return {outcome, file};
    }
};

// A scripted sender, one step per word: the answer it waits for (C, A(CK), N(AK); L: a C after
// 3.5 s), then what it sends: 1K block n as "n", 128-byte as "sn", "!" for a bad CRC, E(OT), X
// (CAN; x with bit 7 set), K (ACK), z (noise), T (a lone STX), h (a header of block 2 and no
// data), b (a bad complement), Y (a YMODEM block 0); "+" joins them. Then it stays silent.
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

struct Case {
    std::string name, script, transcript, kept;  // kept: the blocks in the file, as words
    bool cancelled = false;
    std::size_t room = 0;  // a file that takes only this many bytes
};

TEST(Xmodem, ScriptedSenders) {
    std::string run = "Cs1", blocks = "s1";
    for (int n = 2; n <= 257; ++n) {
        run += " As" + std::to_string(n);
        blocks += " s" + std::to_string(n);
    }
    const Case cases[] = {
        {"late sender", "L1 AE NE", "CCCCCANA", "1"},
        {"three blocks, EOT EOT", "C1 A2 A3 AE NE", "CAAANA", "1 2 3"},
        {"one EOT, then silence", "C1 AE", "CANA", "1"},
        {"EOT before any block", "CE NE", "CNA", ""},
        {"repeated block written once", "C1 A1 A2 AE NE", "CAAANA", "1 2"},
        {"block 256 numbered 0", run + " AE NE", "C" + std::string(257, 'A') + "NA", blocks},
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
        {"block that cannot be written cancels", "C1", "CXXXXX", "", true, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::istringstream steps(c.script);
        std::string step;
        bool pending = static_cast<bool>(steps >> step);
        Line line;
        line.on_byte = [&](std::uint8_t answer) {
            const char wanted = step[0] == 'A' ? ACK : step[0] == 'N' ? NAK : 'C';
            if (pending && answer == wanted && (step[0] != 'L' || vclock::now_us >= 3500000)) {
                std::istringstream parts(step.substr(1));
                for (std::string w; std::getline(parts, w, '+');) {
                    const Bytes b = item(w);
                    line.queue.insert(line.queue.end(), b.begin(), b.end());
                }
                pending = static_cast<bool>(steps >> step);
            }
        };
        const auto [outcome, file] = line.receive(c.room);
        Bytes expected;
        std::istringstream kept(c.kept);
        for (std::string w; kept >> w;) {
            const auto n = static_cast<unsigned>(std::atoi(w.c_str() + (w[0] == 's')));
            const Bytes d = data_of(n, w[0] == 's' ? 128 : 1024);
            expected.insert(expected.end(), d.begin(), d.end());
        }
        EXPECT_EQ(line.transcript, c.transcript);
        EXPECT_EQ(outcome.cancelled, c.cancelled);
        EXPECT_FALSE(pending) << "script not played to its end";
        if (c.room == 0) {
            EXPECT_EQ(file, expected);
            EXPECT_EQ(outcome.bytes, static_cast<int>(expected.size()));
        }
    }
}

std::uint64_t mix(std::uint64_t x) {
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A sender as lrzsz's (1K blocks, 128-byte ones for the tail, a resend on NAK or after 10 s of
// silence, EOT until acknowledged) over a line that corrupts, drops and inserts bytes (a
// function of the seed and the byte's place): every transfer ends with the exact file, or
// cancelled with only good blocks kept, never with wrong data taken for a complete file.
TEST(Xmodem, NoisyLineEndsExactOrCancelled) {
    int ends[2] = {0, 0};  // exact, cancelled
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        const std::uint64_t per_100k = 10 + 40 * (seed % 5);  // noise per byte: 1e-4 .. 1.7e-3
        std::vector<Bytes> frames;
        Bytes padded;
        for (std::size_t left = 5000 + seed * 97; left > 0;) {
            const std::size_t size = left >= 1024 ? 1024 : 128;
            Bytes d = data_of(static_cast<unsigned>(frames.size()), size, seed);
            std::fill(d.begin() + static_cast<long>(std::min(size, left)), d.end(), 0x1A);
            frames.push_back(frame(d, static_cast<unsigned>(frames.size() + 1)));
            padded.insert(padded.end(), d.begin(), d.end());
            left -= std::min(size, left);
        }
        frames.push_back({EOT});
        Line line;
        std::size_t at = 0;
        std::uint64_t sent_at = 0;
        bool started = false;
        const auto put = [&] {
            line.queue.insert(line.queue.end(), frames[at].begin(), frames[at].end());
            sent_at = vclock::now_us;
        };
        line.on_byte = [&](std::uint8_t b) {
            if (at < frames.size() && (started ? b == ACK || b == NAK : b == 'C')) {
                at += started && b == ACK;
                started = true;
                if (at < frames.size()) {
                    put();
                }
            }
        };
        line.on_time = [&] {
            if (started && at < frames.size() && vclock::now_us - sent_at > 10000000) {
                put();
            }
        };
        line.noise = [&](int dir, std::uint64_t i, std::uint8_t b) -> Bytes {
            const std::uint64_t h = mix(seed << 40 ^ std::uint64_t(dir) << 39 ^ i);
            const std::uint64_t r = h % 100000;
            const auto other = static_cast<std::uint8_t>(h >> 32);
            if (r < per_100k / 2) {
                return {static_cast<std::uint8_t>(b ^ (other | 1))};
            }
            return r < per_100k * 3 / 4 ? Bytes{} : r < per_100k ? Bytes{other, b} : Bytes{b};
        };
        const auto [outcome, file] = line.receive();
        const bool prefix =
            file.size() <= padded.size() && std::equal(file.begin(), file.end(), padded.begin());
        const bool exact = file == padded && outcome.bytes == static_cast<int>(padded.size());
        EXPECT_TRUE(outcome.cancelled ? prefix : exact) << "seed " << seed << ": silently wrong";
        ++ends[outcome.cancelled ? 1 : 0];
    }
    EXPECT_GT(ends[0], 0);
    EXPECT_GT(ends[1], 0);
}

// The operator (and a sender) at the master of a pseudo-terminal whose slave is /dev/ttyS0.
class SerialSwitch : public testing::Test {
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
        vclock::sleeps = 0;
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
    // After each pause: read the screen, answer the sender's awaited byte, type the keys of
    // that second (once), or hang up ("").
    void tick() {
        char buf[512];
        for (ssize_t n; master >= 0 && (n = ::read(master, buf, sizeof buf)) > 0;) {
            screen.append(buf, static_cast<std::size_t>(n));
        }
        if (!sender.empty() && from > 0 &&
            screen.find(sender[0].first, from) != std::string::npos) {
            from = screen.find(sender[0].first, from) + 1;
            type(std::string(sender[0].second.begin(), sender[0].second.end()));
            sender.erase(sender.begin());
        }
        const auto key = keys.find(vclock::sleeps);
        if (key != keys.end() && key->second.empty()) {
            ::close(master);
            master = -1;
        } else if (key != keys.end()) {
            type(key->second);
            from = screen.size();
            if (key->first == close_at) {
                ::close(file_fd());
            }
            keys.erase(key);
        }
    }
    template <class F>
    auto on_console(F f) {  // standard output on the line while `f` runs
        std::fflush(stdout);
        const int saved = ::dup(STDOUT_FILENO);
        ::dup2(line, STDOUT_FILENO);
        const auto result = f();
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        return result;
    }
    static int file_fd() {  // the descriptor the board holds /image on
        DIR* d = ::opendir("/proc/self/fd");
        int found = -1;
        for (dirent* e; (e = ::readdir(d)) != nullptr;) {
            char target[64] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                target == std::string("/image")) {
                found = std::atoi(e->d_name);
            }
        }
        ::closedir(d);
        return found;
    }
    std::map<unsigned, std::string> keys;        // after that many waits
    std::vector<std::pair<char, Bytes>> sender;  // on this answer, these bytes
    std::size_t from = 0;                        // where the next answer is looked for
    unsigned close_at = 0;  // the key after which the board's file is closed behind its back
    std::string screen;
    int master = -1, line = -1;
    termios console{};
};

// {reset's wait (line feed) or init's (carriage return), keys, line given, waits, reminders}
struct Wait {
    bool reset;
    std::map<unsigned, std::string> keys;
    bool fd;
    unsigned sleeps;
    std::size_t reminders;
};

TEST_F(SerialSwitch, WaitEndsOnItsKeyOrALostLine) {
    const Wait waits[] = {{false, {{2, "x\n"}, {3, "\r"}}, true, 4, 0},
                          {false, {{21, "\r"}}, true, 21, 1},
                          {false, {{22, "\r"}}, true, 22, 2},
                          {false, {{4, ""}}, false, 4, 0},
                          {true, {{1, "x\n"}}, true, 2, 0},
                          {true, {{22, "\n"}}, true, 22, 2},
                          {true, {{3, ""}}, true, 3, 0}};
    for (const Wait& w : waits) {
        SCOPED_TRACE(&w - waits);
        TearDown();
        SetUp();
        type("\r");  // typed before the switch: no answer to its question
        keys = w.reset ? std::map<unsigned, std::string>{{1, "\r"}} : w.keys;
        const int next_fd = ::dup(0);
        ::close(next_fd);
        const int fd = on_console([] { return init_serial(); });
        EXPECT_EQ(fd >= 0, w.fd);
        EXPECT_TRUE(fd >= 0 || ::fcntl(next_fd, F_GETFD) == -1) << "a lost line left open";
        if (w.reset) {
            vclock::sleeps = 0;
            keys = w.keys;
            screen.clear();
            on_console([fd] { return reset_serial(fd), 0; });
        }
        ::close(fd);
        tick();
        EXPECT_EQ(vclock::sleeps, w.sleeps);
        const std::string reminder = w.reset ? "    ... Waiting for the <ENTER> key to be hit...\r"
                                             : "\r\n    ... Waiting for the <Enter> key to be hit "
                                               "before the download can start...\r\n";
        std::size_t n = 0;
        for (auto at = screen.find(reminder); at != std::string::npos;
             at = screen.find(reminder, at + 1)) {
            ++n;
        }
        EXPECT_EQ(n, w.reminders);
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
    keys = {{1, "\r"}, {2, "\n"}};
    const int fd = on_console([] { return init_serial(); });
    termios raw{}, back{};
    ::tcgetattr(line, &raw);
    EXPECT_TRUE(cfgetispeed(&raw) == B115200 && cfgetospeed(&raw) == B115200);
    EXPECT_TRUE(raw.c_iflag == IGNBRK && raw.c_oflag == 0);
    const tcflag_t frame_bits = CSIZE | PARENB | CSTOPB | CBAUD;
    EXPECT_EQ(raw.c_cflag & ~frame_bits, console.c_cflag & ~frame_bits);
    EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
    EXPECT_EQ(raw.c_lflag, console.c_lflag & ~tcflag_t{ICANON | ECHO | ECHOE | ISIG});
    EXPECT_EQ(std::string(raw.c_cc, raw.c_cc + NCCS),
              std::string(console.c_cc, console.c_cc + NCCS));
    on_console([fd] { return reset_serial(fd), 0; });
    ::tcgetattr(line, &back);
    EXPECT_TRUE(back.c_iflag == console.c_iflag && back.c_oflag == console.c_oflag &&
                back.c_lflag == console.c_lflag && back.c_cflag == console.c_cflag);
    ::close(fd);
}

// Xmodem1K's own ends: a block and EOT EOT into /image (all of it there and closed when it
// returns, or 0 when the close fails), no file (-1, the line switched back), no port (-1).
TEST_F(SerialSwitch, Xmodem1KFileEnds) {
    const Bytes block = frame(data_of(1, 128), 1);
    for (const unsigned close_behind : {0U, 2U}) {
        SCOPED_TRACE(close_behind);
        keys = {{1, "\r"}, {2, "\n"}};
        sender = {{'C', block}, {ACK, {EOT}}, {NAK, {EOT}}};
        close_at = close_behind;
        from = vclock::sleeps = 0;
        EXPECT_EQ(on_console([] { return Xmodem1K("/image"); }), close_behind != 0 ? 0 : 128);
        EXPECT_EQ(file_fd(), -1) << "the file left open";
        std::ifstream in("/image", std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), data_of(1, 128));
        ::unlink("/image");
    }
    keys = {{1, "\r"}, {2, "\n"}};
    vclock::sleeps = 0;
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
