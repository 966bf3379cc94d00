// The console's line editor, key by key; the terminal's own handling is the system tests'.
#include <algorithm>
#include <cstring>

#include "console/console.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

using namespace std::string_literals;
using Console = BoardTest;

// The echo, then the buffer and two guard bytes behind it (zeros shown as '0', guards as 'U').
TEST_F(Console, EditorBufferAndEcho) {
    struct Case {
        std::string keys, echo, buffer;
        unsigned size = 8;
    };
    const Case cases[] = {
        {"abc\x01X\r", "abc\b\b\bXabc\b\b\b\n", "Xabc0000UU"},
        {"abcd\x02\x02\x7f\r", "abcd\b\b\bcd \b\b\b\n", "acd00000UU"},
        {"abcd\x01\x06\x04\r", "abcd\b\b\b\bacd \b\b\b\n", "acd00000UU"},
        {"\177\002\033[D\001\033\177ab\006\033[C\004\r", "ab\n", "ab000000UU"},
        {"ab\x1b[3;5~\x1bOC\r", "abOC\n", "abOC0000UU"},
        {"ac\x1b\x1b[Db\x1b[C\x1b[Cd\r", "ac\bbc\bcd\n", "abcd0000UU"},
        {"a\t\000\037\xe9\r"s, "a\a\a\a\xe9\n",
         "a\xe9"
         "000000UU"},
        {"1.2.03\x1b\x7f\r", "1.2.03\b \b\b \b\n", "1.2.0000UU"},
        {"abcdefgh\177i\r", "abcdefg\a\b \bi\n", "abcdefi0UU"},
        {"ab\r", "\a\a\n", "0UUUUUUUUU", 1},
        {"ab\x02\x03", "ab\b <break>\n", "ab000000UU"},
        {"ab", "ab\n", "ab000000UU"},  // the input has ended: the line stands as typed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        const Outcome o = run(
            [&] {
                char buf[10];
                std::memset(buf, 'U', sizeof buf);
                get_user_input(buf, c.size);
                std::replace(buf, buf + sizeof buf, '\0', '0');
                std::printf("[%.10s]", buf);
                return console_input_ended() ? 1 : 0;
            },
            c.keys);
        EXPECT_EQ(o.out, c.echo + "[" + c.buffer + "]");
        EXPECT_EQ(o.returned, c.keys.ends_with('\r') || c.keys.ends_with('\3') ? 0 : 1);
    }
}

}  // namespace
}  // namespace mp_test
