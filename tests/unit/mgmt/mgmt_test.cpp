// The management port's questions and configuration, answered from a file as a terminal program
// sends lines, with every network command recorded instead of run.

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include "launch/launch.hpp"
#include "mgmt/mgmt_port.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support/support.hpp"

namespace {

namespace fs = std::filesystem;
using mp_test::sys;

std::uint32_t addr(const char* dotted) {
    return ::inet_addr(dotted);
}

// The address the question leaves, printed after the step: untouched it is 9.9.9.9.
int ask(std::uint8_t required, std::uint8_t verify) {
    std::uint32_t out = addr("9.9.9.9");
    const int r = get_ip_addr("P:", &out, required, verify);
    in_addr a{};
    a.s_addr = out;
    std::printf("[%s]", ::inet_ntoa(a));
    return r;
}

constexpr const char* kBad = "Invalid IP address. Try again please\n";

struct AddressCase {
    const char* name;
    const char* input;
    int required;
    int verify;
    int result;
    std::string transcript;  // prompts, the editor's echo, the refusals, the address left
};

const AddressCase kAddresses[] = {
    {"empty_required_asks_again", "\n10.1\n", 1, 1, 1,
     std::string("P:\n") + kBad + "P:10.1\n[10.0.0.1]"},
    {"refused_by_verify", "0.0.0.0\n240.1.2.3\n0.1.2.3\n127.0.0.1\n", 1, 1, 1,
     "P:0.0.0.0\nInvalid IP address 0.0.0.0. Try again please\n"
     "P:240.1.2.3\nInvalid IP address 240.1.2.3. Try again please\n"
     "P:0.1.2.3\nInvalid IP address 0.1.2.3. Try again please\nP:127.0.0.1\n[127.0.0.1]"},
    {"multicast_accepted", "224.0.0.1\n", 1, 1, 1, "P:224.0.0.1\n[224.0.0.1]"},
    {"top_of_range_accepted", "239.255.255.255\n", 1, 1, 1, "P:239.255.255.255\n[239.255.255.255]"},
    {"other_forms_of_inet_aton", "10.0.0.300\n012.0x1\n", 1, 1, 1,
     std::string("P:10.0.0.300\n") + kBad + "P:012.0x1\n[10.0.0.1]"},
    {"netmask_zero_taken", "0.0.0.0\n", 0, 0, 1, "P:0.0.0.0\n[0.0.0.0]"},
    {"empty_optional_untouched", "\n", 0, 1, 1, "P:\n[9.9.9.9]"},
    {"refused_then_empty_untouched", "240.0.0.1\n\n", 0, 1, 1,
     "P:240.0.0.1\nInvalid IP address 240.0.0.1. Try again please\nP:\n[9.9.9.9]"},
    {"q_quits", "q\n", 0, 1, 0, "P:q\n[9.9.9.9]"},
    {"Q1_quits", "Q1\n", 1, 1, 0, "P:Q1\n[9.9.9.9]"},
    {"quit_quits", "quit\n", 1, 0, 0, "P:quit\n[9.9.9.9]"},
    {"ended_input_quits", "", 0, 1, 0, "P:\n[9.9.9.9]"},
    {"ended_after_refusal_quits", "\n", 1, 1, 0, std::string("P:\n") + kBad + "P:\n[9.9.9.9]"},
    {"ended_line_stands", "10.0.0.7", 1, 1, 1, "P:10.0.0.7\n[10.0.0.7]"},
};

class Address : public mp_test::BoardTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(Address, Question) {
    const AddressCase& c = GetParam();
    const auto o = run([&] { return ask(c.required, c.verify); }, c.input);
    EXPECT_EQ(o.returned, c.result);
    EXPECT_EQ(o.out, c.transcript);
}

INSTANTIATE_TEST_SUITE_P(Mgmt, Address, ::testing::ValuesIn(kAddresses),
                         [](const auto& p) { return std::string(p.param.name); });

constexpr const char* kDhcpQuestion = "Confirm: Use DHCP for network configuration? y/N: ";

struct SetupCase {
    const char* name;
    bool dhclient;  // /bin/dhclient present
    int ask_dhcp;
    bool interrupted;  // Ctrl-C came during the DHCP question
    const char* input;
    int result;
    std::vector<std::string> commands;
    unsigned long long seconds;  // of pauses
};

const std::vector<std::string> kStatic = {
    sys("ifconfig eth1 10.0.0.5\n"), sys("ifconfig eth1 down\n"),
    sys("ifconfig eth1 netmask 255.255.255.0\n"), sys("ifconfig eth1 up\n"),
    sys("route add default gw 10.0.0.1\n")};

// A static configuration waits 5 + 20 + 1 seconds, a DHCP one 3.
const SetupCase kSetups[] = {
    {"static", false, 1, false, "10.0.0.5\n255.255.255.0\n10.0.0.1\n", 1, kStatic, 26},
    {"dhcp_declined", true, 1, false, "n\n10.0.0.5\n255.255.255.0\n10.0.0.1\n", 1, kStatic, 26},
    {"dhcp_q_goes_on", true, 1, false, "q\n10.0.0.5\n255.255.255.0\n10.0.0.1\n", 1, kStatic, 26},
    {"no_question_without_ask", true, 0, false, "10.0.0.5\n255.255.255.0\n10.0.0.1\n", 1, kStatic,
     26},
    {"dhcp_chosen", true, 1, false, "yes\n", 1, {sys("dhclient -1 eth1")}, 3},
    {"dhcp_interrupted", true, 1, true, "y\n", 0, {}, 0},
    {"address_only", false, 1, false, "10.0.0.5\n\n\n", 1, {sys("ifconfig eth1 10.0.0.5\n")}, 26},
    {"refused_gateway_then_empty",
     false,
     1,
     false,
     "10.0.0.5\n\n0.0.0.0\n\n",
     1,
     {sys("ifconfig eth1 10.0.0.5\n")},
     26},
    {"quit_at_netmask", false, 1, false, "10.0.0.5\nq\n", 0, {}, 0},
    {"quit_at_gateway", false, 1, false, "10.0.0.5\n\nquit\n", 0, {}, 0},
    {"input_ends", false, 1, false, "10.0.0.5\n", 0, {}, 0},
};

std::vector<std::string> commands(const std::string& out) {
    std::vector<std::string> found;
    for (auto at = out.find("{system:"); at != std::string::npos;
         at = out.find("{system:", at + 1)) {
        found.push_back(out.substr(at, out.find('}', at) - at + 1));
    }
    return found;
}

class Setup : public mp_test::BoardTest, public ::testing::WithParamInterface<SetupCase> {
protected:
    void TearDown() override {
        fs::remove_all("/bin");
        BoardTest::TearDown();
    }
};

TEST_P(Setup, AnswersAndCommands) {
    const SetupCase& c = GetParam();
    if (c.dhclient) {
        fs::create_directories("/bin");
        mp_test::write_file("/bin/dhclient", {});
    }
    const auto o = run(
        [&] {
            sig_quit_raised = c.interrupted ? 1 : 0;
            const int r = mgmt_port_setup(static_cast<std::uint8_t>(c.ask_dhcp));
            std::printf("[%llu s]", platform::sandbox::stats().slept_us / 1000000);
            return r;
        },
        c.input);
    EXPECT_EQ(o.returned, c.result);
    EXPECT_THAT(o.out, ::testing::EndsWith("[" + std::to_string(c.seconds) + " s]"));
    EXPECT_EQ(commands(o.out), c.commands);
    // The question, the answer's echo, and a blank line unless Ctrl-C ended the dialogue.
    const std::string first(c.input, std::strcspn(c.input, "\n"));
    const std::string asked = kDhcpQuestion + first + (c.interrupted ? "\n[" : "\n\n");
    EXPECT_EQ(o.out.rfind(asked, 0) == 0, c.dhclient && c.ask_dhcp != 0) << o.out;
}

INSTANTIATE_TEST_SUITE_P(Mgmt, Setup, ::testing::ValuesIn(kSetups),
                         [](const auto& p) { return std::string(p.param.name); });

// What the operator sees of a static configuration, pauses and all.
TEST_F(Setup, StaticTranscript) {
    const auto o = run([] { return mgmt_port_setup(1); }, "10.0.0.5\n255.255.255.0\n10.0.0.1\n");
    EXPECT_EQ(o.out, "IP addr    :10.0.0.5\nNetmask    :255.255.255.0\nGateway    :10.0.0.1\n" +
                         sys("ifconfig eth1 10.0.0.5\n") + "\tNetmask    : 255.255.255.0\n" +
                         sys("ifconfig eth1 down\n") +
                         sys("ifconfig eth1 netmask 255.255.255.0\n") + sys("ifconfig eth1 up\n") +
                         "\tGateway    : 10.0.0.1\n" + sys("route add default gw 10.0.0.1\n") +
                         "Configuring management port..." + std::string(20, '.') + "\n");
}

// Port 0 is configured and then needs its link: the test's namespace has no eth0.
TEST_F(Setup, Port0WithoutLinkQuits) {
    const auto o = run([] { return mgmt_port_configure(1, '0', 0, 0, 0); });
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out, sys("dhclient -1 eth0") +
                         "Open Interface eth0 error.\nMgmt link not available. Quitting.\n");
}

}  // namespace
