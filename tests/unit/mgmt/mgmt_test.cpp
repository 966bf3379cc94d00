// The management port's questions and configuration, answered from a file as a terminal program
// sends lines, with every network command recorded instead of run.

#include <arpa/inet.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "launch/launch.hpp"
#include "mgmt/mgmt_port.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support/support.hpp"

namespace {

using mp_test::sys;
using namespace std::string_literals;

constexpr const char* kBad = "Invalid IP address. Try again please\n";

std::string refused(const std::string& answer) {
    return "P:" + answer + "\nInvalid IP address " + answer + ". Try again please\n";
}

struct AddressCase {
    const char* input;
    int required;
    int verify;
    int result;
    std::string transcript;  // prompts, the editor's echo, the refusals, the address left
};

const AddressCase kAddresses[] = {
    {"\n10.1\n", 1, 1, 1, "P:\n"s + kBad + "P:10.1\n[10.0.0.1]"},
    {"0.0.0.0\n240.1.2.3\n0.1.2.3\n10.0.0.300\n127.0.0.1\n", 1, 1, 1,
     refused("0.0.0.0") + refused("240.1.2.3") + refused("0.1.2.3") + "P:10.0.0.300\n" + kBad +
         "P:127.0.0.1\n[127.0.0.1]"},
    {"224.0.0.1\n", 1, 1, 1, "P:224.0.0.1\n[224.0.0.1]"},
    {"0.0.0.0\n", 0, 0, 1, "P:0.0.0.0\n[0.0.0.0]"},
    {"Q1\n", 1, 1, 0, "P:Q1\n[9.9.9.9]"},
    {"", 0, 1, 0, "P:\n[9.9.9.9]"},  // the input has ended: the operator has gone
    {"\n", 1, 1, 0, "P:\n"s + kBad + "P:\n[9.9.9.9]"},
    {"10.0.0.7", 1, 1, 1, "P:10.0.0.7\n[10.0.0.7]"},
};

class Address : public mp_test::BoardTest, public ::testing::WithParamInterface<AddressCase> {};

// The address the question leaves is printed after it: untouched it is 9.9.9.9.
TEST_P(Address, Question) {
    const AddressCase& c = GetParam();
    const auto o = run(
        [&] {
            in_addr a{::inet_addr("9.9.9.9")};
            const int r = get_ip_addr("P:", &a.s_addr, c.required, c.verify);
            std::printf("[%s]", ::inet_ntoa(a));
            return r;
        },
        c.input);
    EXPECT_EQ(o.returned, c.result);
    EXPECT_EQ(o.out, c.transcript);
}

INSTANTIATE_TEST_SUITE_P(Mgmt, Address, ::testing::ValuesIn(kAddresses));

struct SetupCase {
    bool dhclient;  // /bin/dhclient present
    int ask_dhcp;
    bool interrupted;  // Ctrl-C came during the DHCP question
    const char* input;
    int result;
    std::string commands;
    int seconds;  // of pauses
};

const std::string kStatic = sys("ifconfig eth1 10.0.0.5\n") + sys("ifconfig eth1 down\n") +
                            sys("ifconfig eth1 netmask 255.255.255.0\n") +
                            sys("ifconfig eth1 up\n") + sys("route add default gw 10.0.0.1\n");
const char* const kAnswers = "10.0.0.5\n255.255.255.0\n10.0.0.1\n";

// A static configuration waits 5 + 20 + 1 seconds, a DHCP one 3.
const SetupCase kSetups[] = {
    {false, 1, false, kAnswers, 1, kStatic, 26},
    {true, 1, false, "q\n10.0.0.5\n255.255.255.0\n10.0.0.1\n", 1, kStatic, 26},  // q: no DHCP
    {true, 0, false, kAnswers, 1, kStatic, 26},
    {true, 1, false, "yes\n", 1, sys("dhclient -1 eth1"), 3},
    {true, 1, true, "y\n", 0, "", 0},
    {false, 1, false, "10.0.0.5\n\n0.0.0.0\n\n", 1, sys("ifconfig eth1 10.0.0.5\n"), 26},
    {false, 1, false, "10.0.0.5\nq\n", 0, "", 0},
    {false, 1, false, "10.0.0.5\n\nquit\n", 0, "", 0},
};

class Setup : public mp_test::BoardTest, public ::testing::WithParamInterface<SetupCase> {};

// The commands in order, then the seconds the board's clock was paused.
TEST_P(Setup, AnswersAndCommands) {
    const SetupCase& c = GetParam();
    if (c.dhclient) {
        std::filesystem::create_directories("/bin");
        mp_test::write_file("/bin/dhclient", {});
    }
    const auto o = run(
        [&] {
            sig_quit_raised = c.interrupted ? 1 : 0;
            const int r = mgmt_port_setup(static_cast<std::uint8_t>(c.ask_dhcp));
            std::printf("{%llu s}", platform::sandbox::stats().slept_us / 1000000);
            return r;
        },
        c.input);
    std::filesystem::remove_all("/bin");
    EXPECT_EQ(o.returned, c.result);
    std::string commands;
    for (auto at = o.out.find('{'); at != std::string::npos; at = o.out.find('{', at + 1)) {
        commands += o.out.substr(at, o.out.find('}', at) - at + 1);
    }
    EXPECT_EQ(commands, c.commands + "{" + std::to_string(c.seconds) + " s}");
}

INSTANTIATE_TEST_SUITE_P(Mgmt, Setup, ::testing::ValuesIn(kSetups));

}  // namespace
