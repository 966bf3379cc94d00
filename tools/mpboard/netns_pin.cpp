#include "netns_pin.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "base/unique_fd.hpp"
#include "failure.hpp"
#include "files.hpp"

namespace mpboard {
namespace {

constexpr const char* NETNS_DIR = "/run/netns";

// True when `pin` pins a network namespace that no process is in (a killed run's), which is
// then unmounted and removed. Any other file there, or a namespace in use, stays.
bool left_by_a_killed_run(const std::string& pin) {
    struct stat pinned {};
    struct statfs fs {};
    if (::stat(pin.c_str(), &pinned) != 0 || ::statfs(pin.c_str(), &fs) != 0 ||
        fs.f_type != NSFS_MAGIC) {
        return false;
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    while (const dirent* e = proc ? ::readdir(proc.get()) : nullptr) {
        struct stat ns {};
        const std::string net = std::string("/proc/") + e->d_name + "/ns/net";
        if (e->d_name[0] >= '1' && e->d_name[0] <= '9' && ::stat(net.c_str(), &ns) == 0 &&
            ns.st_dev == pinned.st_dev && ns.st_ino == pinned.st_ino) {
            return false;
        }
    }
    if (::umount2(pin.c_str(), MNT_DETACH) != 0 || ::unlink(pin.c_str()) != 0) {
        fail_errno(pin, "removing the namespace a killed run left");
    }
    std::fprintf(stderr, "mpboard: %s: removed, a killed run had left it (no process was in it)\n",
                 pin.c_str());
    return true;
}

// `ip netns` keeps /run/netns a shared mount point (so that a name removed in one mount namespace
// goes in all), and the first time it adds a namespace where the directory is not one yet it
// bind-mounts the directory on itself: a pin mounted there before would be hidden under that mount,
// unreachable by its name and impossible to remove. The directory is made that mount point first,
// as `ip netns` makes it.
void share_netns_dir() {
    if (::mount("", NETNS_DIR, "none", MS_SHARED | MS_REC, nullptr) == 0) {
        return;
    }
    if (errno != EINVAL || ::mount(NETNS_DIR, NETNS_DIR, "none", MS_BIND | MS_REC, nullptr) != 0 ||
        ::mount("", NETNS_DIR, "none", MS_SHARED | MS_REC, nullptr) != 0) {
        fail_errno(NETNS_DIR, "making it a shared mount point as ip netns does");
    }
}

}  // namespace

NetnsPin::NetnsPin(const std::string& name) {
    if (name.empty()) {
        return;
    }
    if (::geteuid() != 0) {
        fail("--netns needs root: " + std::string(NETNS_DIR) + " is the host's");
    }
    if (name == "." || name == ".." || name.find('/') != std::string::npos) {
        usage_fail("--netns " + name + ": not a namespace name");
    }
    make_dirs(NETNS_DIR);
    share_netns_dir();
    path_ = std::string(NETNS_DIR) + "/" + name;
    if (exists(path_) && !left_by_a_killed_run(path_)) {
        fail(path_ + ": a network namespace of that name exists already");
    }
}

NetnsPin::~NetnsPin() {
    if (mounted_) {
        ::umount2(path_.c_str(), MNT_DETACH);
    }
    if (created_) {
        ::unlink(path_.c_str());
    }
}

void NetnsPin::pin(pid_t jail_init) {
    if (!base::UniqueFd(::open(path_.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0))) {
        throw std::runtime_error(path_ + ": " + std::strerror(errno));
    }
    created_ = true;
    const std::string ns = "/proc/" + std::to_string(jail_init) + "/ns/net";
    if (::mount(ns.c_str(), path_.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        throw std::runtime_error("bind-mounting " + ns + " on " + path_ + ": " +
                                 std::strerror(errno));
    }
    mounted_ = true;
}

}  // namespace mpboard
