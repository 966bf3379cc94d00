// The management port's questions and configuration, answered line by line, commands recorded.
#include <arpa/inet.h>

#include <filesystem>

#include "launch/launch.hpp"
#include "mgmt/mgmt_port.hpp"
#include "platform/sandbox/sandbox.hpp"
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

// The result, the commands in order, then the seconds the board's clock was paused.
TEST_F(MgmtTest, SetupAnswersAndCommands) {
    struct Case {
        bool dhclient, ask_dhcp, interrupted;
        const char* input;
        std::string expected;
    };
    const Case cases[] = {
        {true, true, false, "yes\n", "1" + sys("dhclient -1 eth1") + "{3 s}"},
        {true, true, true, "y\n", "0{0 s}"},
        {false, true, false, "10.0.0.5\n\n0.0.0.0\n\n",
         "1" + sys("ifconfig eth1 10.0.0.5\n") + "{26 s}"},
        {false, true, false, "10.0.0.5\n\nquit\n", "0{0 s}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::filesystem::remove_all("/bin");
        if (c.dhclient) {
            std::filesystem::create_directories("/bin");
            write_file("/bin/dhclient", {});
        }
        const Outcome o = run(
            [&] {
                sig_quit_raised = c.interrupted ? 1 : 0;
                const int r = mgmt_port_setup(c.ask_dhcp ? 1 : 0);
                std::printf("{%llu s}", platform::sandbox::stats().slept_us / 1000000);
                return r;
            },
            c.input);
        std::string got = std::to_string(o.returned.value_or(-1));
        for (auto at = o.out.find('{'); at != std::string::npos; at = o.out.find('{', at + 1)) {
            got += o.out.substr(at, o.out.find('}', at) - at + 1);
        }
        EXPECT_EQ(got, c.expected);
    }
    std::filesystem::remove_all("/bin");
}

}  // namespace
}  // namespace mp_test
