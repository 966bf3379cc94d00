// Port 0's link test on a real veth pair in a network namespace of each case's own:
// the kernel's answers to SIOCGIFINDEX, SIOCGIFFLAGS and ETHTOOL_GLINK, not a model of them.

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

namespace {

// RTM_NEWLINK of a veth eth0 (up), its peer named veth0 by the kernel and left down: the kernel's
// answer, 0 or a negative errno.
int add_veth() {
    alignas(nlmsghdr) char msg[256]{};
    auto* h = reinterpret_cast<nlmsghdr*>(msg);
    *h = {NLMSG_LENGTH(sizeof(ifinfomsg)), RTM_NEWLINK,
          NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, 0, 0};
    auto* link = static_cast<ifinfomsg*>(NLMSG_DATA(h));
    link->ifi_flags = link->ifi_change = IFF_UP;
    const auto put = [&](unsigned short type, const void* data, std::size_t size) {
        auto* a = reinterpret_cast<rtattr*>(msg + NLMSG_ALIGN(h->nlmsg_len));
        *a = {static_cast<unsigned short>(RTA_LENGTH(size)), type};
        if (size != 0) {
            std::memcpy(RTA_DATA(a), data, size);
        }
        h->nlmsg_len = NLMSG_ALIGN(h->nlmsg_len) + RTA_ALIGN(a->rta_len);
        return a;
    };
    put(IFLA_IFNAME, "eth0", 5);
    rtattr* info = put(IFLA_LINKINFO, nullptr, 0);
    put(IFLA_INFO_KIND, "veth", 4);
    info->rta_len = static_cast<unsigned short>(msg + h->nlmsg_len - reinterpret_cast<char*>(info));
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    alignas(nlmsghdr) char reply[512]{};
    ::send(fd, msg, h->nlmsg_len, 0);
    ::recv(fd, reply, sizeof reply, 0);
    ::close(fd);
    return static_cast<const nlmsgerr*>(NLMSG_DATA(reinterpret_cast<nlmsghdr*>(reply)))->error;
}

struct LinkCase {
    bool veth;
    bool peer_up;
    int result;
    const char* message;
};

const LinkCase kLinks[] = {
    {true, true, 1, ""},
    {true, false, 0, "Mgmt link not available. Quitting.\n"},
    {false, false, 0, "Open Interface eth0 error.\nMgmt link not available. Quitting.\n"},
};

class Link : public mp_test::BoardTest, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(Link, Port0) {
    const LinkCase& c = GetParam();
    const auto o = run([&] {
        ifreq peer{};
        std::strcpy(peer.ifr_name, "veth0");
        peer.ifr_flags = c.peer_up ? IFF_UP : 0;
        if (::unshare(CLONE_NEWNET) != 0) {
            return -1;
        }
        if (c.veth) {
            const int sock = ::socket(AF_INET, SOCK_DGRAM, 0);
            const bool made = add_veth() == 0 && ::ioctl(sock, SIOCSIFFLAGS, &peer) == 0;
            ::close(sock);
            if (!made) {
                return -1;
            }
        }
        // The carrier follows "up" a moment later.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (c.peer_up && mgmt_link_status('0') == 0 &&
               std::chrono::steady_clock::now() < deadline) {
            ::usleep(1000);
        }
        return mgmt_port_configure(1, '0', 0, 0, 0);
    });
    EXPECT_EQ(o.returned, c.result);
    EXPECT_EQ(o.out, mp_test::sys("dhclient -1 eth0") + c.message);
}

INSTANTIATE_TEST_SUITE_P(Mgmt, Link, ::testing::ValuesIn(kLinks));

}  // namespace
