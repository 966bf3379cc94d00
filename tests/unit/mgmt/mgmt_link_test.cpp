// Port 0's link test against the kernel: a real veth eth0 in a network namespace per case.
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "mgmt/mgmt_port.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

// RTM_NEWLINK of a veth eth0 (up) whose peer the kernel names veth0, left down: 0 when made.
int add_veth() {
    struct {
        nlmsghdr h;
        ifinfomsg link;
        rtattr name_attr;
        char name[8];
        rtattr info, kind_attr;
        char kind[4];
    } m{{sizeof m, RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, 0, 0},
        {0, 0, 0, 0, IFF_UP, IFF_UP},
        {RTA_LENGTH(5), IFLA_IFNAME},
        "eth0",
        {RTA_LENGTH(8), IFLA_LINKINFO},
        {RTA_LENGTH(4), IFLA_INFO_KIND},
        {'v', 'e', 't', 'h'}};
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    struct {
        nlmsghdr h;
        nlmsgerr e;
    } reply{};
    const bool sent =
        ::send(fd, &m, sizeof m, 0) == sizeof m && ::recv(fd, &reply, sizeof reply, 0) > 0;
    return ::close(fd) == 0 && sent ? reply.e.error : -1;
}

using LinkTest = BoardTest;

// Both ends up, the peer down (no carrier), no eth0.
TEST_F(LinkTest, Port0) {
    const char* const lost = "Mgmt link not available. Quitting.\n";
    const std::string texts[] = {"", lost, "Open Interface eth0 error.\n" + std::string(lost)};
    for (int i = 0; i < 3; ++i) {
        const Outcome o = run([&] {
            ifreq peer{};
            std::strcpy(peer.ifr_name, "veth0");
            peer.ifr_flags = i == 0 ? IFF_UP : 0;
            const int sock = ::unshare(CLONE_NEWNET) == 0 ? ::socket(AF_INET, SOCK_DGRAM, 0) : -1;
            if (sock < 0 ||
                (i < 2 && (add_veth() != 0 || ::ioctl(sock, SIOCSIFFLAGS, &peer) != 0))) {
                return -1;
            }
            // The carrier follows "up" a moment later; the deadline bounds a hang only.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (i == 0 && mgmt_link_status('0') == 0 &&
                   std::chrono::steady_clock::now() < deadline) {
                ::usleep(1000);
            }
            return mgmt_port_configure(1, '0', 0, 0, 0);
        });
        EXPECT_EQ(o.returned, i == 0 ? 1 : 0) << i;
        EXPECT_EQ(o.out, sys("dhclient -1 eth0") + texts[i]) << i;
    }
}

}  // namespace
}  // namespace mp_test
