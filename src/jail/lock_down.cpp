// The last step into a locked jail, taken by its program: capabilities, no new privileges and the
// seccomp filter (see lock_down in jail.hpp).
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "jail/jail.hpp"
#include "jail/steps.hpp"

namespace jail {

namespace {

using steps::check;

// What root of a board keeps: its rights over the board's own files (a package may unpack
// read-only files and replace them), and over the board's own network namespace (the launcher
// brings eth1 up). In the jail's user namespace they reach nothing that belongs to the host:
// only files whose owner maps into it, and only namespaces it owns.
constexpr std::uint64_t kKept = (1ULL << CAP_CHOWN) | (1ULL << CAP_DAC_OVERRIDE) |
                                (1ULL << CAP_FOWNER) | (1ULL << CAP_NET_ADMIN);

void keep_only_board_capabilities() {
    // The bounding set first: dropping from it needs CAP_SETPCAP, which the capset below drops.
    for (int cap = 0;; ++cap) {
        if ((kKept >> cap & 1) != 0) {
            continue;
        }
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            if (errno == EINVAL) {
                break;  // past the kernel's last capability
            }
            steps::fail("dropping capability " + std::to_string(cap), errno);
        }
    }
    check(::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0),
          "clearing the ambient capabilities");
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    std::array<__user_cap_data_struct, 2> data{};
    for (std::size_t i = 0; i < data.size(); ++i) {
        const auto word = static_cast<std::uint32_t>(kKept >> (32 * i));
        data[i].effective = word;
        data[i].permitted = word;
    }
    check(::syscall(SYS_capset, &header, data.data()), "setting the capabilities");
}

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
// x32 system calls come with this bit in their number under the x86-64 architecture.
constexpr std::uint32_t kForeignNumbers = 0x40000000;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
constexpr std::uint32_t kForeignNumbers = 0;
#elif defined(__powerpc__) && !defined(__powerpc64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_PPC;
constexpr std::uint32_t kForeignNumbers = 0;
#else
constexpr std::uint32_t kArch = 0;
constexpr std::uint32_t kForeignNumbers = 0;
#endif

constexpr sock_filter statement(std::uint16_t code, std::uint32_t k) {
    return {code, 0, 0, k};
}
constexpr sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t yes, std::uint8_t no) {
    return {code, yes, no, k};
}

// The request is an unsigned int to the kernel: only the low half of the argument counts.
constexpr std::uint32_t kRequestLow =
    offsetof(seccomp_data, args[1]) + (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0);
constexpr std::uint32_t kAllow = SECCOMP_RET_ALLOW;
constexpr std::uint32_t kRefuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);

constexpr std::array<std::uint32_t, 3> kRefusedCalls{SYS_keyctl, SYS_add_key, SYS_request_key};
constexpr std::array<std::uint32_t, 7> kRefusedRequests{
    TIOCSTI, TIOCLINUX, TIOCSETD, TIOCEXCL, TIOCNXCL, TIOCCONS, TIOCSLCKTRMIOS};

// Every "refuse" jump lands on the last statement; the one before it allows.
std::vector<sock_filter> make_filter() {
    std::vector<sock_filter> f;
    const auto to_refuse = [&f](std::size_t total) {
        return static_cast<std::uint8_t>(total - 1 - (f.size() + 1));
    };
    const std::size_t total = 8 + kRefusedCalls.size() + kRefusedRequests.size();
    f.push_back(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 0, to_refuse(total)));
    f.push_back(statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    f.push_back(jump(BPF_JMP | BPF_JGE | BPF_K, kForeignNumbers == 0 ? 0xFFFFFFFF : kForeignNumbers,
                     to_refuse(total), 0));
    for (const std::uint32_t call : kRefusedCalls) {
        f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, call, to_refuse(total), 0));
    }
    // Not an ioctl: on to "allow", two before the end.
    f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_ioctl, 0,
                     static_cast<std::uint8_t>(total - 2 - (f.size() + 1))));
    f.push_back(statement(BPF_LD | BPF_W | BPF_ABS, kRequestLow));
    for (const std::uint32_t request : kRefusedRequests) {
        f.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, request, to_refuse(total), 0));
    }
    f.push_back(statement(BPF_RET | BPF_K, kAllow));
    f.push_back(statement(BPF_RET | BPF_K, kRefuse));
    if (f.size() != total) {
        steps::fail_because("installing the seccomp filter", "the filter is malformed");
    }
    return f;
}

void filter_system_calls() {
    if (kArch == 0) {
        steps::fail_because("installing the seccomp filter", "no filter for this architecture");
    }
    check(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), "setting no_new_privs");
    std::vector<sock_filter> filter = make_filter();
    const sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
    check(::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0),
          "installing the seccomp filter");
}

}  // namespace

void lock_down() {
    check(::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0), "making the process not dumpable");
    keep_only_board_capabilities();
    filter_system_calls();
}

}  // namespace jail
