// The console's line editor on a real pseudo-terminal, key by key as an operator types.

#include <termios.h>

#include <csignal>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "launch/launch_steps.hpp"
#include "rescue/console.hpp"
#include "support/pty.hpp"

namespace {

using namespace std::string_literals;

constexpr unsigned kLine = 128;
constexpr char kGuard = 0x55;

struct EditCase {
    const char* name;
    std::string keys;
    std::string text;
    std::string echo;  // as the terminal shows it: LF arrives as CR LF
    unsigned line_size = kLine;
    bool isig = true;
    bool hang_up = false;  // after the keys
};

const std::string k127(127, 'a');

const EditCase kEdits[] = {
    {"insert_at_start", "abc\x01X\r", "Xabc", "abc\b\b\bXabc\b\b\b\r\n"},
    {"bs_in_middle", "abcd\x02\x02\x7f\r", "acd", "abcd\b\b\bcd \b\b\b\r\n"},
    {"ctrl_d_under_cursor", "abcd\x01\x06\x04\r", "acd", "abcd\b\b\b\bacd \b\b\b\r\n"},
    {"edges", "\177\002\033[D\001\033\177ab\006\033[C\004\001\002\033[D\177\r", "ab", "ab\b\b\r\n"},
    {"cr_in_middle_keeps_tail", "abc\x02\x02\r", "abc", "abc\b\b\r\n"},
    {"swallowed_and_esc_o_c", "ab\x1b[3~\x1b[A\x1b[1;5H\x1bOC\r", "abOC", "abOC\r\n"},
    {"esc_bracket_then_cr_dropped", "ab\x1b[\rc\r", "abc", "abc\r\n"},
    {"esc_esc_then_arrows", "ac\x1b\x1b[Db\x1b[C\x1b[Cd\r", "abcd", "ac\bbc\bcd\r\n"},
    {"refused_controls_ring", "a\t\005\000\037b\r"s, "ab", "a\a\a\a\ab\r\n"},
    {"eight_bit_inserted", "\xe9\x80\xff\r", "\xe9\x80\xff", "\xe9\x80\xff\r\n"},
    {"esc_del_deletes_a_number", "10.1.2.34\x1b\x7f\r", "10.1.2.", "10.1.2.34\b \b\b \b\r\n"},
    {"esc_bs_stops_at_blank", "ab cd\x02\x1b\x08\r", "ab d", "ab cd\b\bd \b\b\r\n"},
    {"full_line_rings", k127 + "b\177c\r", std::string(126, 'a') + "c", k127 + "\a\b \bc\r\n"},
    {"line_size_1", "ab\r", "", "\a\a\r\n", 1},
    {"line_size_0", "ab\x7f\r", "", "\a\a\r\n", 0},
    {"interrupt_key_rings_and_waits", "ab\003c\r", "abc", "ab\ac\r\n"},
    {"ctrl_c_breaks_without_isig", "ab\x02\x03", "ab", "ab\b <break>\r\n", kLine, false},
    {"hang_up_ends_the_line", "ab", "ab", "ab", kLine, true, true},
};

class Edit : public ::testing::TestWithParam<EditCase> {};

// The whole buffer comes back, with guard bytes behind it that the editor must not touch, and
// whether the terminal's own mode came back.
TEST_P(Edit, BufferAndEcho) {
    const EditCase& c = GetParam();
    const mp_test::PtyRun r = mp_test::run_on_pty(
        [&] {
            sig_init();
            std::signal(SIGHUP, SIG_IGN);  // a session leader dies of the hang-up otherwise
            char buf[kLine + 2];
            std::memset(buf, kGuard, sizeof buf);
            termios mode{};
            ::tcgetattr(0, &mode);
            const tcflag_t before = mode.c_lflag;
            get_user_input(buf, c.line_size);
            // A terminal that has hung up has no settings left to compare.
            const bool restored = ::tcgetattr(0, &mode) != 0 || mode.c_lflag == before;
            return std::string(buf, sizeof buf) + (restored ? "" : "|mode not restored");
        },
        c.keys, c.isig, c.hang_up);
    std::string expected(kLine + 2, kGuard);
    expected.replace(0, c.line_size, c.line_size, '\0');
    EXPECT_EQ(r.returned, expected.replace(0, c.text.size(), c.text));
    EXPECT_EQ(r.output, c.echo);
}

INSTANTIATE_TEST_SUITE_P(Console, Edit, ::testing::ValuesIn(kEdits),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
