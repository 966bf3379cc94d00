#include "vm/net.hpp"

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "files.hpp"

namespace mpboard {
namespace {

// The monitor's socket (QMP) in run/vm/, a directory only the caller can enter (another account
// that reached the socket would drive qemu), bound and reached through the directory's
// descriptor, so the board directory's path may be longer than a socket address holds.
constexpr const char* MONITOR_DIR = "run/vm";
constexpr const char* MONITOR = "monitor";
constexpr const char* NO_VM =
    "no virtual machine runs on this board (`mpboard run DIR --vm` starts one; a jailed board's "
    "eth0 has no link to switch)";

base::UniqueFd run_dir(const Board& board) {
    base::UniqueFd fd = board.open_in(MONITOR_DIR, O_PATH | O_DIRECTORY | O_NOFOLLOW);
    if (!fd) {
        if (errno == ENOENT) {
            fail(NO_VM);
        }
        fail_errno(board.path(MONITOR_DIR));
    }
    return fd;
}

// run/vm/, the caller's and mode 0700 whatever the umask; one of another owner is refused.
base::UniqueFd monitor_dir(const Board& board) {
    board.make_dirs("run");
    const base::UniqueFd run = board.open_in("run", O_PATH | O_DIRECTORY);
    if (!run || (::mkdirat(run.get(), "vm", 0700) != 0 && errno != EEXIST)) {
        fail_errno(board.path(MONITOR_DIR));
    }
    base::UniqueFd dir(::openat(run.get(), "vm", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir || ::fstat(dir.get(), &st) != 0) {
        fail_errno(board.path(MONITOR_DIR));
    }
    if (st.st_uid != ::geteuid()) {
        fail(board.path(MONITOR_DIR) + ": not the caller's; remove it");
    }
    if (::fchmod(dir.get(), 0700) != 0) {
        fail_errno(board.path(MONITOR_DIR));
    }
    return dir;
}

sockaddr_un monitor_address(const base::UniqueFd& dir) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "/proc/self/fd/%d/%s", dir.get(),
                  MONITOR);
    return address;
}

std::string fd_text(const base::UniqueFd& fd) {
    return std::to_string(fd.get());
}

// The tap device "eth1" in the current network namespace.
base::UniqueFd make_tap() {
    base::UniqueFd tap(::open("/dev/net/tun", O_RDWR | O_CLOEXEC));
    if (!tap) {
        fail_errno("/dev/net/tun");
    }
    ifreq request{};
    request.ifr_flags = IFF_TAP | IFF_NO_PI;
    std::strncpy(request.ifr_name, "eth1", IFNAMSIZ - 1);
    if (::ioctl(tap.get(), TUNSETIFF, &request) != 0) {
        fail_errno("/dev/net/tun", "the tap device eth1");
    }
    return tap;
}

// One QMP exchange: sends `command` (when not empty) and reads up to the answer, skipping events.
std::string qmp(const base::UniqueFd& sock, std::string& pending, const std::string& command) {
    if (!command.empty() && ::send(sock.get(), command.data(), command.size(), MSG_NOSIGNAL) !=
                                static_cast<ssize_t>(command.size())) {
        fail_errno("the virtual machine's monitor");
    }
    for (;;) {
        const auto end = pending.find('\n');
        if (end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.find("\"event\"") == std::string::npos) {
                return line;
            }
            continue;
        }
        pollfd p{sock.get(), POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0) {
            fail("the virtual machine's monitor did not answer within 10 s");
        }
        char buffer[1024];
        const ssize_t got = ::read(sock.get(), buffer, sizeof buffer);
        if (got <= 0) {
            fail("the virtual machine's monitor closed the connection");
        }
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace

VmNetwork::VmNetwork(const Board& board, const std::string& netns)
    : pin_(netns), run_(monitor_dir(board)) {
    const sockaddr_un address = monitor_address(run_);
    ::unlinkat(run_.get(), MONITOR, 0);
    monitor_ = base::UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const mode_t umask = ::umask(077);
    const bool bound =
        monitor_ &&
        ::bind(monitor_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::umask(umask);
    if (!bound || ::listen(monitor_.get(), 4) != 0) {
        fail_errno(board.path(std::string(MONITOR_DIR) + "/" + MONITOR));
    }
    int cable[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, cable) != 0) {
        fail_errno("socketpair");
    }
    eth0_ = base::UniqueFd(cable[0]);
    eth1_ = base::UniqueFd(cable[1]);
    if (!pin_.wanted()) {
        return;
    }
    // eth1's end of the cable stays here, unread: eth0 keeps a peer and so its link.
    cable_end_ = std::move(eth1_);
    const base::UniqueFd host(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    if (!host || ::unshare(CLONE_NEWNET) != 0) {
        fail_errno("a network namespace for the virtual machine");
    }
    namespace_ = base::UniqueFd(::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC));
    try {
        eth1_ = make_tap();  // there before the name, for whoever waits for the name
        pin_.pin(::getpid());
    } catch (...) {
        ::setns(host.get(), CLONE_NEWNET);
        throw;
    }
    if (::setns(host.get(), CLONE_NEWNET) != 0) {
        fail_errno("the workstation's network namespace");
    }
}

VmNetwork::~VmNetwork() {
    ::unlinkat(run_.get(), MONITOR, 0);
}

std::vector<std::string> VmNetwork::qemu_args() const {
    std::vector<std::string> args = {"-chardev",
                                     "socket,id=monitor,server=on,wait=off,fd=" + fd_text(monitor_),
                                     "-mon", "chardev=monitor,mode=control"};
    const std::string eth0 = "socket,id=eth0,fd=" + fd_text(eth0_);
    const std::string eth1 =
        pin_.wanted() ? "tap,id=eth1,fd=" + fd_text(eth1_) : "socket,id=eth1,fd=" + fd_text(eth1_);
    for (const std::string& netdev : {eth0, eth1}) {
        const std::string name = netdev.substr(netdev.find("id=") + 3, 4);
        args.insert(args.end(), {"-netdev", netdev, "-device", "e1000,netdev=" + name});
    }
    return args;
}

void VmNetwork::enter() const {
    for (const base::UniqueFd* fd : {&eth0_, &eth1_, &monitor_}) {
        if (*fd) {
            ::fcntl(fd->get(), F_SETFD, 0);
        }
    }
    if (namespace_ && ::setns(namespace_.get(), CLONE_NEWNET) != 0) {
        std::perror("mpboard: the board's network namespace");
        ::_exit(127);
    }
}

void set_vm_link(const Board& board, bool up) {
    const base::UniqueFd dir = run_dir(board);
    const sockaddr_un address = monitor_address(dir);
    const base::UniqueFd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        fail_errno("socket");
    }
    if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            fail(NO_VM);
        }
        fail_errno(board.path(std::string(MONITOR_DIR) + "/" + MONITOR));
    }
    std::string pending;
    qmp(sock, pending, {});  // the greeting
    qmp(sock, pending, R"({"execute": "qmp_capabilities"})");
    const std::string answer =
        qmp(sock, pending,
            std::string(R"({"execute": "set_link", "arguments": {"name": "eth0", "up": )") +
                (up ? "true" : "false") + "}}");
    if (answer.find("\"return\"") == std::string::npos) {
        fail("the virtual machine refused the link change: " + answer);
    }
}

}  // namespace mpboard
