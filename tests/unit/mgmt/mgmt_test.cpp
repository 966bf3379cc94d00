// The management port's address question, answered line by line (its configuration is the
// system tests').
#include <arpa/inet.h>

#include "mgmt/mgmt_port.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

using MgmtTest = BoardTest;
const std::string kBad = "Invalid IP address. Try again please\n";
std::string refused(const std::string& a) {
    return "P:" + a + "\nInvalid IP address " + a + ". Try again please\n";
}

// The result, then the transcript: prompts, echo, refusals, the address left (untouched: 9.9.9.9).
TEST_F(MgmtTest, AddressQuestion) {
    struct Case {
        const char* input;
        std::uint8_t required, verify;
        int result;
        std::string transcript;
    };
    const Case cases[] = {
        {"\n10.1\n", 1, 1, 1, "P:\n" + kBad + "P:10.1\n[10.0.0.1]"},
        {"0.0.0.0\n240.1.2.3\n0.1.2.3\n10.0.0.300\n239.0.0.1\n", 1, 1, 1,
         refused("0.0.0.0") + refused("240.1.2.3") + refused("0.1.2.3") + "P:10.0.0.300\n" + kBad +
             "P:239.0.0.1\n[239.0.0.1]"},
        {"0.0.0.0\n", 0, 0, 1, "P:0.0.0.0\n[0.0.0.0]"},
        {"Q1\n", 1, 1, 0, "P:Q1\n[9.9.9.9]"},
        {"", 0, 1, 0, "P:\n[9.9.9.9]"},  // the input has ended: the operator has gone
        {"10.0.0.7", 1, 1, 1, "P:10.0.0.7\n[10.0.0.7]"},  // the line stands as typed
    };
    for (const Case& c : cases) {
        const Outcome o = run(
            [&] {
                in_addr a{::inet_addr("9.9.9.9")};
                const int r = get_ip_addr("P:", &a.s_addr, c.required, c.verify);
                std::printf("[%s]", ::inet_ntoa(a));
                return r;
            },
            c.input);
        EXPECT_EQ(std::to_string(o.returned.value_or(-1)) + o.out,
                  std::to_string(c.result) + c.transcript);
    }
}

}  // namespace
}  // namespace mp_test
