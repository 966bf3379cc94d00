// The console's line editor on a real pseudo-terminal, key by key as an operator types.
#include <termios.h>

#include <csignal>
#include <cstring>

#include <gtest/gtest.h>

#include "launch/launch_steps.hpp"
#include "rescue/console.hpp"
#include "support/pty.hpp"

namespace {

using namespace std::string_literals;

// The whole buffer comes back with guard bytes behind it that the editor must not touch, then
// the interrupt flag and whether the terminal's own mode came back (a hung-up one has none).
TEST(Console, EditorBufferAndEcho) {
    struct Case {
        std::string keys, text, echo;  // echo as the terminal shows it: LF arrives as CR LF
        unsigned size = 128;
        bool isig = true, hang_up = false;
    };
    const std::string a127(127, 'a');
    const Case cases[] = {
        {"abc\x01X\r", "Xabc", "abc\b\b\bXabc\b\b\b\r\n"},
        {"abcd\x02\x02\x7f\r", "acd", "abcd\b\b\bcd \b\b\b\r\n"},
        {"abcd\x01\x06\x04\r", "acd", "abcd\b\b\b\bacd \b\b\b\r\n"},
        {"\177\002\033[D\001\033\177ab\006\033[C\004\001\002\033[D\177\r", "ab", "ab\b\b\r\n"},
        {"abc\x02\x02\r", "abc", "abc\b\b\r\n"},
        {"ab\x1b[3~\x1b[A\x1b[10;5H\x1bOC\r", "abOC", "abOC\r\n"},
        {"ab\x1b[\rc\r", "abc", "abc\r\n"},
        {"ac\x1b\x1b[Db\x1b[C\x1b[Cd\r", "abcd", "ac\bbc\bcd\r\n"},
        {"a\t\005\000\037b\r"s, "ab", "a\a\a\a\ab\r\n"},
        {"\xe9\x80\xff\r", "\xe9\x80\xff", "\xe9\x80\xff\r\n"},
        {"10.1.2.03\x1b\x7f\r", "10.1.2.", "10.1.2.03\b \b\b \b\r\n"},
        {"ab cd\x02\x1b\x08\r", "ab d", "ab cd\b\bd \b\b\r\n"},
        {a127 + "b\177c\r", std::string(126, 'a') + "c", a127 + "\a\b \bc\r\n"},
        {"ab\r", "", "\a\a\r\n", 1},
        {"ab\x7f\r", "", "\a\a\r\n", 0},
        {"ab\003c\r", "abc", "ab\ac\r\n"},  // the interrupt key: EINTR rings, the flag is up
        {"ab\x02\x03", "ab", "ab\b <break>\r\n", 128, false},
        {"ab", "ab", "ab", 128, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        const mp_test::PtyRun r = mp_test::run_on_pty(
            [&] {
                sig_init();
                std::signal(SIGHUP, SIG_IGN);  // a session leader dies of the hang-up otherwise
                char buf[130];
                std::memset(buf, 0x55, sizeof buf);
                termios mode{};
                ::tcgetattr(0, &mode);
                const tcflag_t before = mode.c_lflag;
                get_user_input(buf, c.size);
                const bool kept = ::tcgetattr(0, &mode) != 0 || mode.c_lflag == before;
                return std::string(buf, sizeof buf) + char('0' + sig_quit_raised) +
                       (kept ? "" : "!");
            },
            c.keys, c.isig, c.hang_up);
        std::string expected(130, 0x55);
        expected.replace(0, c.size, c.size, '\0').replace(0, c.text.size(), c.text);
        const bool interrupted = c.isig && c.keys.find('\3') != std::string::npos;
        EXPECT_EQ(r.returned, expected + (interrupted ? "1" : "0"));
        EXPECT_EQ(r.output, c.echo);
    }
}

}  // namespace
