// The console's line editor on a real pseudo-terminal, key by key as an operator types.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "launch/launch_steps.hpp"
#include "rescue/console.hpp"
#include "support/pty.hpp"

namespace {

using mp_test::PtyChild;
using namespace std::string_literals;

constexpr unsigned kLine = 128;
constexpr char kGuard = 0x55;

// The line editor in a child on the terminal: the whole buffer comes back, with guard bytes
// behind it that the editor must not touch, and whether the terminal's settings came back.
std::string edit_line(unsigned line_size) {
    char buf[kLine + 2];
    std::memset(buf, kGuard, sizeof buf);
    termios before{};
    termios after{};
    ::tcgetattr(0, &before);
    get_user_input(buf, line_size);
    // A terminal that has hung up has no settings left to compare.
    const bool restored = ::tcgetattr(0, &after) != 0 ||
                          (before.c_iflag == after.c_iflag && before.c_oflag == after.c_oflag &&
                           before.c_cflag == after.c_cflag && before.c_lflag == after.c_lflag &&
                           std::memcmp(before.c_cc, after.c_cc, sizeof before.c_cc) == 0);
    return std::string(buf, sizeof buf) + (restored ? "" : "|settings not restored");
}

std::string expected_buffer(const std::string& text, unsigned line_size) {
    std::string buf(kLine + 2, kGuard);
    buf.replace(0, line_size, line_size, '\0');
    buf.replace(0, text.size(), text);
    return buf;
}

void no_isig(termios& t) {
    t.c_lflag &= ~static_cast<tcflag_t>(ISIG);
}

struct EditCase {
    const char* name;
    std::string keys;  // the whole sequence goes in one write, as a paste does
    std::string text;
    std::string echo;  // as the terminal shows it: LF arrives as CR LF
    unsigned line_size = kLine;
    bool isig = true;
};

const std::string k127(127, 'a');

const EditCase kEdits[] = {
    {"insert_at_start", "abc\x01X\r", "Xabc", "abc\b\b\bXabc\b\b\b\r\n"},
    {"bs_in_middle", "abcd\x02\x02\x7f\r", "acd", "abcd\b\b\bcd \b\b\b\r\n"},
    {"ctrl_d_under_cursor", "abcd\x01\x06\x04\r", "acd", "abcd\b\b\b\bacd \b\b\b\r\n"},
    {"edges_silent",
     "\x7f\x02\x1b[D\x01\x1b\x7f"
     "ab\x06\x1b[C\x04\x01\x02\x1b[D\x7f\r",
     "ab", "ab\b\b\r\n"},
    {"cr_in_middle_keeps_tail", "abc\x02\x02\r", "abc", "abc\b\b\r\n"},
    {"delete_and_up_swallowed", "ab\x1b[3~\x1b[A\x1b[1;5H\r", "ab", "ab\r\n"},
    {"esc_o_c_inserted", "\x1bOC\r", "OC", "OC\r\n"},
    {"esc_bracket_then_cr_dropped", "ab\x1b[\rc\r", "abc", "abc\r\n"},
    {"esc_esc_keeps_escape", "a\x1b\x1b[Db\r", "ba", "a\bba\b\r\n"},
    {"refused_controls_ring",
     "a\t\x05\x00\x1f"
     "b\r"s,
     "ab", "a\a\a\a\ab\r\n"},
    {"eight_bit_inserted", "\xe9\x80\xff\r", "\xe9\x80\xff", "\xe9\x80\xff\r\n"},
    {"arrows_move", "ac\x1b[Db\x1b[C\x1b[Cd\r", "abcd", "ac\bbc\bcd\r\n"},
    {"esc_del_deletes_a_number", "10.1.2.34\x1b\x7f\r", "10.1.2.", "10.1.2.34\b \b\b \b\r\n"},
    {"esc_bs_stops_at_blank", "ab cd\x02\x1b\x08\r", "ab d", "ab cd\b\bd \b\b\r\n"},
    {"full_line_rings",
     k127 + "b\x7f"
            "c\r",
     std::string(126, 'a') + "c", k127 + "\a\b \bc\r\n"},
    {"line_size_1", "ab\r", "", "\a\a\r\n", 1},
    {"line_size_0", "ab\x7f\r", "", "\a\a\r\n", 0},
    {"ctrl_c_breaks_without_isig",
     "ab\x02\x03"
     "cd\r",
     "ab", "ab\b <break>\r\n", kLine, false},
};

class Edit : public ::testing::TestWithParam<EditCase> {};

TEST_P(Edit, BufferAndEcho) {
    const EditCase& c = GetParam();
    PtyChild child([&] { return edit_line(c.line_size); },
                   c.isig ? std::function<void(termios&)>{} : no_isig);
    child.send(c.keys);
    const PtyChild::Result r = child.finish();
    EXPECT_EQ(r.returned, expected_buffer(c.text, c.line_size));
    EXPECT_EQ(r.output, c.echo);
}

INSTANTIATE_TEST_SUITE_P(Console, Edit, ::testing::ValuesIn(kEdits),
                         [](const auto& p) { return std::string(p.param.name); });

// Key by key, each after the editor's next read: the terminal goes back to its own settings
// between keys, and nothing it echoes itself may show.
TEST(Console, TypedKeyByKey) {
    PtyChild child([] { return edit_line(kLine); });
    child.type(
        "10.0.0.1\x1b[D\x1b[D\x7f"
        "2\r");
    const PtyChild::Result r = child.finish();
    EXPECT_EQ(r.returned, expected_buffer("10.0.2.1", kLine));
    EXPECT_EQ(r.output, "10.0.0.1\b\b\b.1 \b\b\b2.1\b\b\r\n");
}

// With ISIG on, the interrupt key is a signal, not a byte: the bell, the flag, and the editor
// goes on waiting for the line.
TEST(Console, InterruptKeyRingsAndWaits) {
    PtyChild child([] {
        sig_init();
        std::string line = edit_line(kLine);
        return line + "|flag " + std::to_string(sig_quit_raised.load());
    });
    child.send("ab");
    child.output_until("ab");
    child.send("\x03");
    child.output_until("ab\a");
    child.send("c\r");
    const PtyChild::Result r = child.finish();
    EXPECT_EQ(r.returned, expected_buffer("abc", kLine) + "|flag 1");
    EXPECT_EQ(r.output,
              "ab\a"
              "c\r\n");
}

// When the console can deliver no byte any more, the line ends with what was typed, and every
// later question gets an empty line at once instead of a bell for ever.
std::string after_the_end() {
    std::string first = edit_line(kLine);
    const bool ended = console_input_ended();
    char again[8];
    get_user_input(again, sizeof again);
    return first + (ended ? "|ended|" : "|open|") + again + "|" + std::to_string(uartGetC());
}

TEST(Console, HangUpEndsTheLine) {
    // A session leader dies of the hang-up unless it ignores it; the read fails then.
    PtyChild child([] {
        std::signal(SIGHUP, SIG_IGN);
        return after_the_end();
    });
    child.send("ab");
    child.output_until("ab");
    child.hang_up();
    const PtyChild::Result r = child.finish();
    EXPECT_EQ(r.returned, expected_buffer("ab", kLine) + "|ended||0");
}

TEST(Console, EndOfFileEndsTheLine) {
    PtyChild child([] {
        int p[2];
        if (::pipe(p) != 0 || ::write(p[1], "x\x02y", 3) != 3) {
            return std::string("no pipe");
        }
        ::close(p[1]);
        ::dup2(p[0], 0);
        return after_the_end();
    });
    const PtyChild::Result r = child.finish();
    EXPECT_EQ(r.returned, expected_buffer("yx", kLine) + "|ended||0");
    EXPECT_EQ(r.output, "x\byx\b\r\n\r\n");
}

}  // namespace
