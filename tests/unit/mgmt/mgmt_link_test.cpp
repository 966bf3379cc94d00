// The link test of eth0 on a real veth pair in the test jail's own network namespace: the
// kernel's answers to SIOCGIFINDEX, SIOCGIFFLAGS and ETHTOOL_GLINK, not a model of them.

#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "mgmt/mgmt_port.hpp"
#include "support/support.hpp"

namespace {

// RTM_NEWLINK of "eth0" with its peer "peer0", or RTM_DELLINK of "eth0" (its peer goes too).
// 0, or the kernel's negative errno.
int veth(bool add) {
    alignas(nlmsghdr) char msg[256]{};
    auto* h = reinterpret_cast<nlmsghdr*>(msg);
    h->nlmsg_type = add ? RTM_NEWLINK : RTM_DELLINK;
    h->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (add ? NLM_F_CREATE | NLM_F_EXCL : 0);
    h->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
    auto put = [&](unsigned short type, const void* data, std::size_t size) {
        auto* a = reinterpret_cast<rtattr*>(msg + NLMSG_ALIGN(h->nlmsg_len));
        a->rta_type = type;
        a->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        if (size != 0) {
            std::memcpy(RTA_DATA(a), data, size);
        }
        h->nlmsg_len = NLMSG_ALIGN(h->nlmsg_len) + RTA_ALIGN(a->rta_len);
        return a;
    };
    auto close_nest = [&](rtattr* a) {
        a->rta_len = static_cast<unsigned short>(msg + h->nlmsg_len - reinterpret_cast<char*>(a));
    };
    put(IFLA_IFNAME, "eth0", 5);
    if (add) {
        rtattr* info = put(IFLA_LINKINFO, nullptr, 0);
        put(IFLA_INFO_KIND, "veth", 4);
        rtattr* data = put(IFLA_INFO_DATA, nullptr, 0);
        const ifinfomsg none{};
        rtattr* peer = put(VETH_INFO_PEER, &none, sizeof none);
        put(IFLA_IFNAME, "peer0", 6);
        close_nest(peer);
        close_nest(data);
        close_nest(info);
    }
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    char reply[512];
    const bool sent =
        ::send(fd, msg, h->nlmsg_len, 0) >= 0 && ::recv(fd, reply, sizeof reply, 0) > 0;
    ::close(fd);
    return sent
               ? static_cast<const nlmsgerr*>(NLMSG_DATA(reinterpret_cast<nlmsghdr*>(reply)))->error
               : -EIO;
}

// The interface's flags, after switching IFF_UP when `up` is given.
unsigned flags(const char* name, int up = -1) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    ::ioctl(fd, SIOCGIFFLAGS, &r);
    if (up >= 0) {
        r.ifr_flags = static_cast<short>(up ? (r.ifr_flags | IFF_UP) : (r.ifr_flags & ~IFF_UP));
        ::ioctl(fd, SIOCSIFFLAGS, &r);
    }
    ::close(fd);
    return static_cast<unsigned short>(r.ifr_flags);
}

struct LinkCase {
    const char* name;
    bool veth;  // eth0 exists, with its peer
    bool eth0_up;
    bool peer_up;
    int result;
    const char* message;
};

const LinkCase kLinks[] = {
    {"both_up", true, true, true, 1, ""},
    {"peer_down", true, true, false, 0, ""},
    {"eth0_down", true, false, true, 0, ""},
    {"no_eth0", false, false, false, 0, "Open Interface eth0 error.\n"},
};

class Link : public mp_test::BoardTest, public ::testing::WithParamInterface<LinkCase> {
protected:
    void TearDown() override {
        veth(false);
        BoardTest::TearDown();
    }
};

TEST_P(Link, Status) {
    const LinkCase& c = GetParam();
    if (c.veth) {
        ASSERT_EQ(veth(true), 0);
        flags("peer0", c.peer_up);
        flags("eth0", c.eth0_up);
        // The carrier follows "up" a moment later; the check is made once it has settled.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (((flags("eth0") & IFF_RUNNING) != 0) != (c.eth0_up && c.peer_up) &&
               std::chrono::steady_clock::now() < deadline) {
            ::usleep(1000);
        }
    }
    const auto o = run([] { return mgmt_link_status('1'); });
    EXPECT_EQ(o.returned, c.result);
    EXPECT_EQ(o.out, c.message);
}

INSTANTIATE_TEST_SUITE_P(Mgmt, Link, ::testing::ValuesIn(kLinks),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
