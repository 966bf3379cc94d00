// The management Ethernet port: the operator's answers, the system's network commands, and the
// link test of eth0 through the kernel's ethtool interface.

#include "mgmt/mgmt_port.hpp"

#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/interrupt.hpp"
#include "base/net.hpp"
#include "base/unique_fd.hpp"
#include "command/command.hpp"
#include "console/console.hpp"
#include "platform/platform.hpp"

namespace {

// Every answer is one line of the console's editor.
constexpr unsigned kAnswerSize = 128;

// The text of an address, for a message or a command line.
struct Dotted {
    explicit Dotted(std::uint32_t address) noexcept { base::dotted(address, text); }
    char text[INET_ADDRSTRLEN];
};

}  // namespace

int mgmt_port_setup(std::uint8_t ask_dhcp) {
    const char port = '1';
    std::uint8_t dhcp = 0;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    if (mgmt_port_params(port, &dhcp, &ip, &netmask, &gateway, ask_dhcp) == 0) {
        return 0;
    }
    return mgmt_port_configure(dhcp, port, ip, netmask, gateway);
}

int mgmt_port_params(char /*port*/, std::uint8_t* dhcp, std::uint32_t* ip, std::uint32_t* netmask,
                     std::uint32_t* gateway, std::uint8_t ask_dhcp) {
    *dhcp = 0;
    struct stat st {};
    if (ask_dhcp != 0 && ::stat("/bin/dhclient", &st) == 0) {
        std::fputs("Confirm: Use DHCP for network configuration? y/N: ", stdout);
        std::fflush(stdout);
        char answer[kAnswerSize];
        get_user_input(answer, sizeof answer);
        if (sig_quit_raised != 0) {
            return 0;
        }
        if (answer[0] == 'Y' || answer[0] == 'y') {
            *dhcp = 1;
        }
        std::putchar('\n');
    }
    if (*dhcp != 0) {
        return 1;
    }
    if (get_ip_addr("IP addr    :", ip, 1, 1) == 0 ||
        get_ip_addr("Netmask    :", netmask, 0, 0) == 0 ||
        get_ip_addr("Gateway    :", gateway, 0, 1) == 0) {
        return 0;
    }
    return 1;
}

int get_ip_addr(const char* prompt, std::uint32_t* out, std::uint8_t required,
                std::uint8_t verify) {
    // A console whose input has ended can never answer: that is the operator quitting, also
    // for a question that would take an empty answer.
    while (!console_input_ended()) {
        std::fputs(prompt, stdout);
        std::fflush(stdout);
        char answer[kAnswerSize];
        get_user_input(answer, sizeof answer);
        if (answer[0] == 'q' || answer[0] == 'Q') {
            return 0;
        }
        if (answer[0] == '\0' && (required == 0 || console_input_ended())) {
            return console_input_ended() ? 0 : 1;
        }
        in_addr address{};
        if (::inet_aton(answer, &address) == 0) {
            std::puts("Invalid IP address. Try again please");
            continue;
        }
        if (verify != 0 && verify_ip_address(address.s_addr) == 0) {
            std::printf("Invalid IP address %s. Try again please\n", answer);
            continue;
        }
        *out = address.s_addr;
        return 1;
    }
    return 0;
}

int verify_ip_address(std::uint32_t address) {
    // Network byte order: the first octet is the first byte in memory, on either byte order.
    unsigned char octets[4];
    std::memcpy(octets, &address, sizeof octets);
    return address != 0 && octets[0] != 0 && octets[0] < 240 ? 1 : 0;
}

int mgmt_port_configure(std::uint8_t dhcp, char port, std::uint32_t ip, std::uint32_t netmask,
                        std::uint32_t gateway) {
    if (dhcp != 0) {
        command::run_formatted("dhclient -1 eth%c", port);
        platform::clock_sleep(3);
    } else {
        command::run_formatted("ifconfig eth%c %s\n", port, Dotted(ip).text);
        if (netmask != 0) {
            const Dotted mask(netmask);
            std::printf("\tNetmask    : %s\n", mask.text);
            command::run_formatted("ifconfig eth%c down\n", port);
            command::run_formatted("ifconfig eth%c netmask %s\n", port, mask.text);
            command::run_formatted("ifconfig eth%c up\n", port);
        }
        platform::clock_sleep(5);
        if (gateway != 0) {
            const Dotted gw(gateway);
            std::printf("\tGateway    : %s\n", gw.text);
            command::run_formatted("route add default gw %s\n", gw.text);
        }
        std::fputs("Configuring management port...", stdout);
        std::fflush(stdout);
        for (int i = 0; i < 20; ++i) {
            platform::clock_sleep(1);
            std::putchar('.');
            std::fflush(stdout);
        }
        std::putchar('\n');
        platform::clock_sleep(1);
    }
    if (port == '0' && mgmt_link_status(port) == 0) {
        std::puts("Mgmt link not available. Quitting.");
        return 0;
    }
    return 1;
}

int mgmt_link_status(char /*port*/) {
    const base::UniqueFd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        std::puts("Raw Socket open error");
        return 0;
    }
    const char* const name = "eth0";
    ifreq request{};
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    if (::ioctl(sock.get(), SIOCGIFINDEX, &request) < 0) {
        std::printf("Open Interface %s error.\n", name);
        return 0;
    }
    if (::ioctl(sock.get(), SIOCGIFFLAGS, &request) < 0) {
        std::puts("Open flags error.");
        return 0;
    }
    const auto flags = static_cast<unsigned short>(request.ifr_flags);
    ethtool_value link{};
    link.cmd = ETHTOOL_GLINK;
    link.data = 0;
    request.ifr_data = reinterpret_cast<char*>(&link);
    if (::ioctl(sock.get(), SIOCETHTOOL, &request) < 0) {
        std::puts("EthTool GLINK error.");
        return 0;
    }
    return link.data != 0 && (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0 ? 1 : 0;
}
