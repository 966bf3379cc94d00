// The link test of eth0 on a real veth pair in the test jail's own network namespace: the
// kernel's answers to SIOCGIFINDEX, SIOCGIFFLAGS and ETHTOOL_GLINK, not a model of them.

#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "mgmt/mgmt_port.hpp"
#include "support/support.hpp"

namespace {

// A netlink request built attribute by attribute; nested attributes are closed by end().
class LinkRequest {
public:
    explicit LinkRequest(std::uint16_t type, std::uint16_t flags) {
        auto* h = header();
        h->nlmsg_type = type;
        h->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | flags;
        h->nlmsg_len = NLMSG_LENGTH(sizeof(ifinfomsg));
        std::memset(buf_ + NLMSG_HDRLEN, 0, sizeof(ifinfomsg));
    }
    rtattr* begin(std::uint16_t type) { return put(type, nullptr, 0); }
    void end(rtattr* nest) {
        nest->rta_len =
            static_cast<unsigned short>(buf_ + header()->nlmsg_len - reinterpret_cast<char*>(nest));
    }
    rtattr* put(std::uint16_t type, const void* data, std::size_t size) {
        auto* a = reinterpret_cast<rtattr*>(buf_ + NLMSG_ALIGN(header()->nlmsg_len));
        a->rta_type = type;
        a->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        if (size != 0) {
            std::memcpy(RTA_DATA(a), data, size);
        }
        header()->nlmsg_len = NLMSG_ALIGN(header()->nlmsg_len) + RTA_ALIGN(a->rta_len);
        return a;
    }
    void put_name(const char* name) { put(IFLA_IFNAME, name, std::strlen(name) + 1); }
    // An empty ifinfomsg inside an attribute (the veth peer's).
    void put_ifinfo() {
        std::memset(buf_ + header()->nlmsg_len, 0, sizeof(ifinfomsg));
        header()->nlmsg_len += NLMSG_ALIGN(sizeof(ifinfomsg));
    }

    // 0 when the kernel acknowledged the request, else its negative errno.
    int send() {
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd < 0) {
            return -errno;
        }
        int result = -EIO;
        if (::send(fd, buf_, header()->nlmsg_len, 0) >= 0) {
            char reply[4096];
            const ssize_t n = ::recv(fd, reply, sizeof reply, 0);
            const auto* r = reinterpret_cast<const nlmsghdr*>(reply);
            if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) &&
                r->nlmsg_type == NLMSG_ERROR) {
                result = static_cast<const nlmsgerr*>(NLMSG_DATA(r))->error;
            }
        }
        ::close(fd);
        return result;
    }

private:
    nlmsghdr* header() { return reinterpret_cast<nlmsghdr*>(buf_); }
    alignas(nlmsghdr) char buf_[512]{};
};

int add_veth(const char* name, const char* peer) {
    LinkRequest req(RTM_NEWLINK, NLM_F_CREATE | NLM_F_EXCL);
    req.put_name(name);
    rtattr* info = req.begin(IFLA_LINKINFO);
    req.put(IFLA_INFO_KIND, "veth", 4);
    rtattr* data = req.begin(IFLA_INFO_DATA);
    rtattr* peer_info = req.begin(VETH_INFO_PEER);
    req.put_ifinfo();
    req.put_name(peer);
    req.end(peer_info);
    req.end(data);
    req.end(info);
    return req.send();
}

void del_link(const char* name) {
    LinkRequest req(RTM_DELLINK, 0);
    req.put_name(name);
    req.send();
}

unsigned flags_of(const char* name) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    const int ok = ::ioctl(fd, SIOCGIFFLAGS, &r);
    ::close(fd);
    return ok == 0 ? static_cast<unsigned short>(r.ifr_flags) : 0;
}

void set_up(const char* name, bool up) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq r{};
    std::strncpy(r.ifr_name, name, IFNAMSIZ - 1);
    ::ioctl(fd, SIOCGIFFLAGS, &r);
    r.ifr_flags = static_cast<short>(up ? (r.ifr_flags | IFF_UP) : (r.ifr_flags & ~IFF_UP));
    ::ioctl(fd, SIOCSIFFLAGS, &r);
    ::close(fd);
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
        del_link("eth0");  // takes its peer with it
        BoardTest::TearDown();
    }
};

TEST_P(Link, Status) {
    const LinkCase& c = GetParam();
    if (c.veth) {
        const int made = add_veth("eth0", "peer0");
        if (made == -EPERM || made == -EOPNOTSUPP) {
            GTEST_SKIP() << "no veth in this namespace (jail off?)";
        }
        ASSERT_EQ(made, 0);
        set_up("peer0", c.peer_up);
        set_up("eth0", c.eth0_up);
        // The carrier follows "up" a moment later; the check is made once it has settled.
        const bool running = c.eth0_up && c.peer_up;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (((flags_of("eth0") & IFF_RUNNING) != 0) != running &&
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
