// The receiver's transfer against senders of the test's own on a socket pair that plays the
// serial line at 115200 bit/s (11 bytes a millisecond each way), on the virtual clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "virtual_clock.hpp"
#include "xmodem/xmodem.hpp"
#include "xmodem/xmodem_testing.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t SOH = 1, STX = 2, EOT = 4, ACK = 6, NAK = 0x15, CAN = 0x18;
constexpr std::uint64_t kSecond = 1000000;

// The sender's CRC bit by bit, so that a wrong table cannot agree with itself.
std::uint16_t crc_bits(const Bytes& data) {
    unsigned crc = 0;
    for (const std::uint8_t b : data) {
        crc ^= unsigned{b} << 8;
        for (int i = 0; i < 8; ++i) {
            crc = (crc & 0x8000U) != 0 ? (crc << 1) ^ 0x1021U : crc << 1;
        }
    }
    return static_cast<std::uint16_t>(crc);
}

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
    f.insert(f.end(), data.begin(), data.end());
    const unsigned crc = crc_bits(data) ^ (bad_crc ? 1U : 0U);
    f.push_back(static_cast<std::uint8_t>(crc >> 8));
    f.push_back(static_cast<std::uint8_t>(crc));
    return f;
}
Bytes block(unsigned n, std::size_t size = 1024, bool bad = false) {
    return frame(data_of(n, size), n, bad);
}

// Byte in, bytes out (none: dropped); direction 0 is towards the receiver.
using Noise = std::function<Bytes(int direction, std::uint64_t index, std::uint8_t byte)>;

// The line and the sender at its far end. Every pause of the receiver lets the sender read
// what arrived and puts the next 11 queued bytes on the line.
class Line {
public:
    std::function<void(std::uint8_t)> on_byte = [](std::uint8_t) {};
    std::function<void()> on_time = [] {};
    Noise noise;
    std::string transcript;  // the receiver's answers: C, A(CK), N(AK), X (CAN)

    Line() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds_), 0);
        vclock::now_us = 0;
        vclock::on_tick = [this] { tick(); };
    }
    ~Line() {
        vclock::on_tick = [] {};
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int receiver() const { return fds_[0]; }
    void send(const Bytes& b) { queue_.insert(queue_.end(), b.begin(), b.end()); }
    void tick() {  // also once more at the end, for the last answer
        if (vclock::now_us > 3600 * kSecond) {
            throw std::runtime_error("the transfer did not end within an hour");
        }
        std::uint8_t c = 0;
        while (::read(fds_[1], &c, 1) == 1) {
            transcript += c == 'C' ? 'C' : c == ACK ? 'A' : c == NAK ? 'N' : c == CAN ? 'X' : '?';
            for (const std::uint8_t b : pass(1, c)) {
                on_byte(b);
            }
        }
        on_time();
        for (int i = 0; i < 11 && !queue_.empty(); ++i) {
            for (const std::uint8_t b : pass(0, queue_.front())) {
                EXPECT_EQ(::write(fds_[1], &b, 1), 1);
            }
            queue_.pop_front();
        }
    }

private:
    Bytes pass(int direction, std::uint8_t b) {
        return noise ? noise(direction, count_[direction]++, b) : Bytes{b};
    }
    int fds_[2] = {-1, -1};
    std::deque<std::uint8_t> queue_;
    std::uint64_t count_[2] = {0, 0};
};

struct Received {
    XmodemOutcome outcome;
    Bytes file;
};

// The transfer into memory (or into a file of `room` bytes that fills up).
Received receive(Line& line, std::size_t room = 0) {
    char* mem = nullptr;
    std::size_t size = 0;
    std::vector<char> small(room + 1);
    std::FILE* f = room == 0 ? ::open_memstream(&mem, &size) : ::fmemopen(small.data(), room, "w");
    Received r;
    r.outcome = xmodem_receive(line.receiver(), f);
    line.tick();
    std::fclose(f);
    if (mem != nullptr) {
        r.file.assign(mem, mem + size);
        std::free(mem);
    }
    return r;
}

const Bytes kEot{EOT};
// What a YMODEM sender puts in block 0: the file's name and size, then NULs.
const Bytes ymodem_header = [] {
    Bytes b(128, 0);
    const std::string text = std::string("image") + '\0' + "4096";
    std::copy(text.begin(), text.end(), b.begin());
    return b;
}();

// A scripted sender, one step per word: the answer it waits for (C, A(CK), N(AK); L: a C after
// 3.5 s), then what it sends: 1K block n as "n", 128-byte as "sn", "!" for a bad CRC, "s1..257"
// for a run of blocks each sent on the ACK of the one before, E(OT), X (CAN; x with bit 7 set),
// K (ACK), z (noise), T (a lone STX), h (a header of block 2 and no data), b (a bad complement),
// Y (a YMODEM block 0); "+" joins them. After its last step the sender stays silent.
struct Case {
    const char* name;
    const char* script;
    const char* transcript;  // the receiver's answers: C, A, N, X (CAN)
    const char* kept;        // the blocks in the file, in the script's words
    bool cancelled = false;
    std::size_t room = 0;  // a file that takes only this many bytes
};

const Case kCases[] = {
    {"late sender", "L1 AE NE", "CCCCCANA", "1"},
    {"three blocks, EOT EOT", "C1 A2 A3 AE NE", "CAAANA", "1 2 3"},
    {"one EOT, then silence", "C1 AE", "CANA", "1"},
    {"EOT before any block", "CE NE", "CNA", ""},
    {"repeated block written once", "C1 A1 A2 AE NE", "CAAANA", "1 2"},
    {"block 256 numbered 0", "Cs1..257 AE NE", "CA{257}NA", "s1..257"},
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

Bytes item(const std::string& w) {
    const std::size_t size = w[0] == 's' ? 128 : 1024;
    const unsigned n = static_cast<unsigned>(std::atoi(w.c_str() + (w[0] == 's' ? 1 : 0)));
    const std::map<char, Bytes> bytes = {
        {'E', {EOT}},          {'X', {CAN}},       {'x', {CAN | 0x80}},
        {'K', {ACK}},          {'z', {'z'}},       {'T', {STX}},
        {'h', {SOH, 2, 0xFD}}, {'b', {STX, 1, 1}}, {'Y', frame(ymodem_header, 0)}};
    const auto it = bytes.find(w[0]);
    return it != bytes.end() ? it->second : block(n, size, w.back() == '!');
}

// Words of a script (`script`) or of the kept blocks, with runs like "s1..257" spelled out.
std::vector<std::string> words(const std::string& text, bool script) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) {
        const auto dots = w.find("..");
        if (dots == std::string::npos) {
            out.push_back(w);
            continue;
        }
        const std::size_t digits = w.find_first_of("0123456789");
        const std::string prefix = w.substr(0, digits);
        const int first = std::atoi(w.c_str() + digits);
        for (int n = first; n <= std::atoi(w.c_str() + dots + 2); ++n) {
            out.push_back((n == first || !script ? prefix : "A" + prefix.substr(1)) +
                          std::to_string(n));
        }
    }
    return out;
}

// "CA{3}N" is CAAAN.
std::string expand(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '{') {
            const std::size_t end = text.find('}', i);
            out.append(std::stoul(text.substr(i + 1, end - i - 1)) - 1, out.back());
            i = end;
        } else {
            out += text[i];
        }
    }
    return out;
}

TEST(Xmodem, ScriptedSenders) {
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Line line;
        const std::vector<std::string> steps = words(c.script, true);
        std::size_t next = 0;
        line.on_byte = [&](std::uint8_t answer) {
            if (next == steps.size()) {
                return;
            }
            const std::string& s = steps[next];
            const char wanted = s[0] == 'L' ? 'C' : s[0] == 'A' ? ACK : s[0] == 'N' ? NAK : 'C';
            if (answer == wanted && (s[0] != 'L' || vclock::now_us >= 3500000)) {
                std::istringstream parts(s.substr(1));
                for (std::string w; std::getline(parts, w, '+');) {
                    line.send(item(w));
                }
                ++next;
            }
        };
        const Received r = receive(line, c.room);
        Bytes expected;
        for (const std::string& w : words(c.kept, false)) {
            const Bytes d = data_of(static_cast<unsigned>(std::atoi(w.c_str() + (w[0] == 's'))),
                                    w[0] == 's' ? 128 : 1024);
            expected.insert(expected.end(), d.begin(), d.end());
        }
        EXPECT_EQ(line.transcript, expand(c.transcript));
        EXPECT_EQ(r.outcome.cancelled, c.cancelled);
        EXPECT_EQ(next, steps.size()) << "script not played to its end";
        if (c.room == 0) {
            EXPECT_EQ(r.file, expected);
            EXPECT_EQ(r.outcome.bytes, static_cast<int>(expected.size()));
        }
    }
}

std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A sender as lrzsz's behaves: 1K blocks, 128-byte ones for the tail, a resend on NAK or after
// 10 s of silence, and EOT until it is acknowledged.
struct Sender {
    std::vector<Bytes> frames;
    std::size_t at = 0;
    bool started = false;
    std::uint64_t sent_at = 0;
    Line* line = nullptr;
    void put() {
        line->send(at < frames.size() ? frames[at] : kEot);
        sent_at = vclock::now_us;
    }
    void answer(std::uint8_t b) {
        if (b == 'C' && !started) {
            started = true;
            put();
        } else if (started && at <= frames.size() && (b == ACK || b == NAK)) {
            at += b == ACK ? 1 : 0;
            if (at <= frames.size()) {
                put();
            }
        }
    }
    void time() {
        if (started && at <= frames.size() && vclock::now_us - sent_at > 10 * kSecond) {
            put();
        }
    }
};

// Over a line that corrupts, drops and inserts bytes (a function of the seed and the byte's
// place, so every run is the same), each transfer ends with the exact file or cancelled with
// only good blocks kept: never with wrong data taken for a complete file.
TEST(Xmodem, NoisyLineEndsExactOrCancelled) {
    int exact = 0;
    int cancelled = 0;
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        const std::uint64_t per_100k = 10 + 40 * (seed % 5);  // noise per byte: 1e-4 .. 1.7e-3
        Bytes data(5000 + seed * 97);
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(mix(seed * 1000003 + i));
        }
        Sender s;
        Bytes padded;
        for (std::size_t pos = 0; pos < data.size();) {
            const std::size_t size = data.size() - pos >= 1024 ? 1024 : 128;
            Bytes d(size, 0x1A);
            std::copy_n(data.begin() + static_cast<long>(pos), std::min(size, data.size() - pos),
                        d.begin());
            s.frames.push_back(frame(d, static_cast<unsigned>(s.frames.size() + 1)));
            padded.insert(padded.end(), d.begin(), d.end());
            pos += size;
        }
        Line line;
        s.line = &line;
        line.on_byte = [&](std::uint8_t b) { s.answer(b); };
        line.on_time = [&] { s.time(); };
        line.noise = [&](int dir, std::uint64_t i, std::uint8_t b) -> Bytes {
            const std::uint64_t h = mix(seed << 40 ^ std::uint64_t(dir) << 39 ^ i);
            const std::uint64_t r = h % 100000;
            const auto other = static_cast<std::uint8_t>(h >> 32);
            if (r < per_100k / 2) {
                return {static_cast<std::uint8_t>(b ^ (other | 1))};
            }
            if (r < per_100k * 3 / 4) {
                return {};
            }
            return r < per_100k ? Bytes{other, b} : Bytes{b};
        };
        const Received r = receive(line);
        const bool prefix = r.file.size() <= padded.size() &&
                            std::equal(r.file.begin(), r.file.end(), padded.begin());
        if (!r.outcome.cancelled && r.file == padded &&
            r.outcome.bytes == static_cast<int>(padded.size())) {
            ++exact;
        } else if (r.outcome.cancelled && prefix) {
            ++cancelled;
        } else {
            ADD_FAILURE() << "seed " << seed << ": silently wrong, " << r.file.size() << " of "
                          << padded.size() << " bytes, result " << r.outcome.bytes;
        }
    }
    std::printf("noisy line: %d exact, %d cancelled of 60 transfers\n", exact, cancelled);
    EXPECT_GT(exact, 0);
    EXPECT_GT(cancelled, 0);
}

}  // namespace
