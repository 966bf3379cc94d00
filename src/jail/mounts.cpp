// The jail's tree: the directory and the devices, devpts, tmpfs and proc mounted under it, and
// the pivot that makes it the root of the jail's mount namespace.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "base/unique_fd.hpp"
#include "jail/steps.hpp"

namespace platform::sandbox::jail_steps {

namespace {

void make_dir(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) {
        return;
    }
    const int err = errno;
    struct stat st {};
    if (err == EEXIST && ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return;
        }
        // A symbolic link here would carry the jail's mounts somewhere else.
        fail_because("making directory " + path, "it exists and is not a directory");
    }
    fail("making directory " + path, err);
}

// A mount point for a device: a plain file (or a device node a board brought along).
void make_file(const std::string& path) {
    struct stat st {};
    if (::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode)) {
            return;
        }
        fail_because("making file " + path, "it exists and is neither a file nor a device");
    }
    const base::UniqueFd fd(::openat(AT_FDCWD, path.c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd) {
        fail("making file " + path, errno);
    }
}

// Adds `flags` to a bind mount. The flags it has stay: in a user namespace the host's are locked.
void restrict_bind(const std::string& path, unsigned long flags) {
    struct statvfs vfs {};
    check(::statvfs(path.c_str(), &vfs), "reading the mount flags of " + path);
    constexpr std::array<std::pair<unsigned long, unsigned long>, 4> kKept{
        {{ST_RDONLY, MS_RDONLY},
         {ST_NOSUID, MS_NOSUID},
         {ST_NODEV, MS_NODEV},
         {ST_NOEXEC, MS_NOEXEC}}};
    for (const auto& [has, keep] : kKept) {
        if ((vfs.f_flag & has) != 0) {
            flags |= keep;
        }
    }
    check(::mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_BIND | flags, nullptr),
          "remounting " + path);
}

// Read-only: a device's node is the host's, and the board's root may be its owner.
void bind_file(const std::string& source, const std::string& target) {
    make_file(target);
    check(::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr),
          "bind-mounting " + source + " on " + target);
    restrict_bind(target, MS_RDONLY | MS_NOSUID);
}

// dev/ptmx must reach the jail's own devpts instance, never the host's.
void link_ptmx(const std::string& root) {
    const std::string path = root + "/dev/ptmx";
    std::array<char, 64> target{};
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n >= 0) {
        const std::string_view points_to(target.data(), static_cast<std::size_t>(n));
        if (points_to == "pts/ptmx" || points_to == "/dev/pts/ptmx") {
            return;
        }
        fail_because("linking " + path + " to pts/ptmx",
                     "it is a link to " + std::string(points_to));
    }
    if (errno == ENOENT) {
        check(::symlink("pts/ptmx", path.c_str()), "linking " + path + " to pts/ptmx");
        return;
    }
    // A board may bring its own dev/ptmx file or node: the instance's ptmx goes over it.
    bind_file(root + "/dev/pts/ptmx", path);
}

}  // namespace

std::string jail_root(const std::string& dir) {
    std::array<char, PATH_MAX> resolved{};
    if (::realpath(dir.c_str(), resolved.data()) == nullptr) {
        fail(dir, errno);
    }
    const std::string root(resolved.data());
    struct stat st {};
    if (::fstatat(AT_FDCWD, root.c_str(), &st, 0) != 0) {
        fail(root, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        fail(root, ENOTDIR);
    }
    if (root == "/") {
        fail_because(dir, "the host's root cannot be a jail");
    }
    return root;
}

void check_console(const std::string& console) {
    struct stat st {};
    if (::fstatat(AT_FDCWD, console.c_str(), &st, 0) != 0) {
        fail("console " + console, errno);
    }
    if (!S_ISCHR(st.st_mode)) {
        fail_because("console " + console, "not a terminal device");
    }
}

void build_tree(const std::string& root, const JailOptions& options) {
    // The directory becomes a mount of its own so that it can be made the root.
    check(::mount(root.c_str(), root.c_str(), nullptr, MS_BIND | MS_REC, nullptr),
          "bind-mounting " + root + " on itself");
    // A setuid file or a device node the board makes gives nothing inside it.
    restrict_bind(root, MS_NOSUID | MS_NODEV);
    const std::string dev = root + "/dev";
    make_dir(dev);
    bind_file("/dev/null", dev + "/null");
    bind_file("/dev/zero", dev + "/zero");
    bind_file(options.console.empty() ? std::string("/dev/tty") : options.console, dev + "/tty");
    if (!options.console.empty()) {
        bind_file(options.console, dev + "/ttyS0");
    }
    make_dir(dev + "/pts");
    check(::mount("devpts", (dev + "/pts").c_str(), "devpts", MS_NOSUID | MS_NOEXEC,
                  "newinstance,ptmxmode=0666,mode=0620"),
          "mounting a devpts instance on " + dev + "/pts");
    link_ptmx(root);

    const std::string run = root + "/run";
    make_dir(run);
    check(::mount("tmpfs", run.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=8m"),
          "mounting a tmpfs on " + run);
    make_file(run + "/mpboard-jail");
    make_dir(root + "/proc");
}

void enter_root(const std::string& root, bool locked) {
    check(::mount("proc", (root + "/proc").c_str(), "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                  locked ? "subset=pid" : nullptr),
          "mounting proc on " + root + "/proc");
    check(::chdir(root.c_str()), "changing directory to " + root);
    // pivot_root(".", ".") stacks the old root on the new one; detaching it leaves no path back
    // to the host's files. A chroot alone would leave them one chroot(2) away, and a chrooted
    // process may not create user namespaces, so a jail could not be entered from a jail.
    check(::syscall(SYS_pivot_root, ".", "."), "pivot_root into " + root);
    check(::umount2(".", MNT_DETACH), "detaching the host's root from " + root);
    check(::chdir("/"), "changing directory to / in " + root);
}

}  // namespace platform::sandbox::jail_steps
