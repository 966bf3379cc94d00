// The jail's namespaces: a user namespace where the caller is root and nothing more, then mount,
// PID, network, UTS and IPC namespaces of its own.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <string>

#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "jail/steps.hpp"

namespace jail::steps {

namespace {

std::string first_line_of(const char* path) {
    const base::UniqueFd fd(::openat(AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    std::array<std::uint8_t, 64> buffer{};
    const std::size_t n = fd ? base::read_full(fd.get(), buffer, 0).done : 0;
    const std::string text(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    return text.substr(0, text.find('\n'));
}

void write_file(const std::string& path, const std::string& text) {
    const base::UniqueFd fd(::openat(AT_FDCWD, path.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd || !base::write_all(
                   fd.get(), {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()})) {
        fail("writing \"" + text + "\" to " + path, errno);
    }
}

std::string user_namespace_hint(int err) {
    if (err == EINVAL) {
        return "a process with more than one thread cannot enter one; under qemu-user, enter it "
               "before qemu starts";
    }
    if (first_line_of("/proc/sys/kernel/unprivileged_userns_clone") == "0") {
        return "unprivileged user namespaces are disabled: "
               "/proc/sys/kernel/unprivileged_userns_clone is 0";
    }
    if (first_line_of("/proc/sys/user/max_user_namespaces") == "0") {
        return "user namespaces are disabled: /proc/sys/user/max_user_namespaces is 0";
    }
    if (err == EPERM) {
        return "refused to a chrooted process, or by a security module";
    }
    return {};
}

struct Namespace {
    int flag;
    const char* name;
};

constexpr std::array<Namespace, 5> kNamespaces{{
    {CLONE_NEWNS, "mount"},
    {CLONE_NEWPID, "PID"},
    {CLONE_NEWNET, "network"},
    {CLONE_NEWUTS, "UTS"},
    {CLONE_NEWIPC, "IPC"},
}};

}  // namespace

bool enter_user_namespace(bool locked) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER) != 0) {
        const int err = errno;
        // qemu-user runs helper threads, and a threaded process may not enter a user namespace.
        // Root keeps its privileges instead; the namespaces below isolate it all the same.
        if (err == EINVAL && uid == 0) {
            return false;
        }
        fail("entering a user namespace", err, user_namespace_hint(err));
    }
    // From inside, a process may map only its own ids, and the group map needs setgroups denied.
    // Root is root there too; files of other host users show as the overflow id.
    write_file("/proc/self/setgroups", "deny");
    write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    // A user namespace made inside would bring every capability back, enough to mount a proc
    // that shows /proc/sys. The limit is this namespace's own (the host's stays as it was), and
    // only its root could raise it again, before lock_down.
    if (locked) {
        write_file("/proc/sys/user/max_user_namespaces", "0");
    }
    return true;
}

void enter_namespaces() {
    for (const Namespace& ns : kNamespaces) {
        check(::unshare(ns.flag), std::string("entering a new ") + ns.name + " namespace");
    }
    // Nothing mounted from here on may propagate back to the host.
    check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr),
          "making every mount private");
}

}  // namespace jail::steps
