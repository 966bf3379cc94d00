// The jail's tree: the directory and the devices, devpts, tmpfs and proc mounted under it, and
// the pivot that makes it the root of the jail's mount namespace.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/unique_fd.hpp"
#include "jail/steps.hpp"

namespace jail::steps {

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

namespace {

// dev/, run/ and proc/ of a jail whose root is in place.
void add_devices(const std::string& root, const JailOptions& options) {
    const std::string dev = root + "/dev";
    make_dir(dev);
    bind_file("/dev/null", dev + "/null");
    bind_file("/dev/zero", dev + "/zero");
    const char* no_console = options.locked ? "/dev/null" : "/dev/tty";
    bind_file(options.console.empty() ? std::string(no_console) : options.console, dev + "/tty");
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

// ---- A locked jail's root
// ------------------------------------------------------------------------

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

Dir open_listing(int dir_fd, const char* name, const std::string& shown) {
    const int fd = ::openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    Dir dir(fd >= 0 ? ::fdopendir(fd) : nullptr);
    if (!dir) {
        const int err = errno;
        if (fd >= 0) {
            ::close(fd);
        }
        fail("listing " + shown, err);
    }
    return dir;
}

bool dot_or_dots(std::string_view name) {
    return name == "." || name == "..";
}

// A detached tmpfs, nosuid and nodev.
base::UniqueFd new_tmpfs(const std::string& what, const char* mode, const std::string& size) {
    const base::UniqueFd fs(::fsopen("tmpfs", FSOPEN_CLOEXEC));
    if (!fs || ::fsconfig(fs.get(), FSCONFIG_SET_STRING, "mode", mode, 0) != 0 ||
        ::fsconfig(fs.get(), FSCONFIG_SET_STRING, "size", size.c_str(), 0) != 0 ||
        ::fsconfig(fs.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        fail("making the tmpfs for " + what, errno);
    }
    base::UniqueFd mnt(::fsmount(fs.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV));
    if (!mnt) {
        fail("mounting the tmpfs for " + what, errno);
    }
    return mnt;
}

// The entry `name` of the directory `from` (never followed), bound on `name` in `root`.
void bind_entry(int from, const std::string& name, int root) {
    const base::UniqueFd tree(
        ::open_tree(from, name.c_str(),
                    OPEN_TREE_CLONE | OPEN_TREE_CLOEXEC | AT_RECURSIVE | AT_SYMLINK_NOFOLLOW));
    if (!tree) {
        fail("binding " + name, errno);
    }
    mount_attr attr{};
    attr.attr_set = MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV;
    check(::mount_setattr(tree.get(), "", AT_EMPTY_PATH | AT_RECURSIVE, &attr, sizeof attr),
          "making " + name + " nosuid and nodev");
    check(::move_mount(tree.get(), "", root, name.c_str(), MOVE_MOUNT_F_EMPTY_PATH),
          "binding " + name);
}

// ---- Overlays in place of bind mounts
// -----------------------------------------------------------
// A bind mount's root shows in /proc/self/mountinfo as its path in its file system, the
// workstation's path of the directory. An overlay's root is "/", and its layers show as given:
// here "/proc/self/fd/N", the descriptors of this process (opened without following links). Its
// lower layer is empty, so every change goes straight to the upper layer, the directory itself,
// as through a bind mount. Its work directory must lie on the same mount: in kLayers, in a
// directory of this run (named by this process's ID) that this process holds locked while it
// lives, so that a run of the same directory beside it keeps its own, and one that a kill -9
// left is removed by the next run.

struct Layers {
    base::UniqueFd lower;
    base::UniqueFd work;
};

base::UniqueFd open_made_dir(int at, const char* name, mode_t mode, int flags) {
    if (::mkdirat(at, name, mode) != 0 && errno != EEXIST) {
        return base::UniqueFd();
    }
    return base::UniqueFd(
        ::openat(at, name, flags | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));  // never a link
}

constexpr int kListed = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// The run directory `name` of `layers` (open as `run`) and the overlays' work directories in it,
// which the overlays keep empty when they are done with them (what is not empty stays).
void remove_run(int layers, const char* name, int run) {
    ::unlinkat(run, "lower", AT_REMOVEDIR);
    const base::UniqueFd work(::openat(run, "work", kListed));
    const Dir listing(work ? ::fdopendir(::dup(work.get())) : nullptr);
    while (const dirent* e = listing ? ::readdir(listing.get()) : nullptr) {
        const base::UniqueFd one(dot_or_dots(e->d_name) ? -1
                                                        : ::openat(work.get(), e->d_name, kListed));
        if (one) {
            ::unlinkat(one.get(), "work", AT_REMOVEDIR);
            ::unlinkat(one.get(), "index", AT_REMOVEDIR);
            ::unlinkat(work.get(), e->d_name, AT_REMOVEDIR);
        }
    }
    ::unlinkat(run, "work", AT_REMOVEDIR);
    ::unlinkat(layers, name, AT_REMOVEDIR);
}

Layers make_layers(int top) {
    const base::UniqueFd dir = open_made_dir(top, kLayers, 0700, O_RDONLY);
    if (!dir) {
        fail("making " + std::string(kLayers), errno);
    }
    // What runs that ended without removing theirs left: no process holds them.
    const Dir listing(::fdopendir(::dup(dir.get())));
    while (const dirent* e = listing ? ::readdir(listing.get()) : nullptr) {
        const base::UniqueFd run(dot_or_dots(e->d_name) ? -1
                                                        : ::openat(dir.get(), e->d_name, kListed));
        if (run && ::flock(run.get(), LOCK_EX | LOCK_NB) == 0) {
            remove_run(dir.get(), e->d_name, run.get());
        }
    }
    const std::string name = std::to_string(::getpid());
    base::UniqueFd run = open_made_dir(dir.get(), name.c_str(), 0700, O_RDONLY);
    struct stat st {};
    // Held until this process ends; one that another run removed meanwhile is no use.
    if (!run || ::flock(run.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(run.get(), &st) != 0) {
        fail("making " + std::string(kLayers) + "/" + name, errno);
    }
    if (st.st_nlink == 0) {
        fail("making " + std::string(kLayers) + "/" + name, ENOENT);
    }
    Layers layers;
    layers.lower = open_made_dir(run.get(), "lower", 0500, O_PATH);
    layers.work = open_made_dir(run.get(), "work", 0700, O_RDONLY);
    if (!layers.lower || !layers.work) {
        fail("making " + std::string(kLayers) + "/" + name, errno);
    }
    static_cast<void>(run.release());
    return layers;
}

bool set_layer(int fs, const char* key, int fd) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return ::fsconfig(fs, FSCONFIG_SET_STRING, key, path.c_str(), 0) == 0;
}

// The directory `name` of `from` as an overlay on `name` in `root`; false where the file system
// cannot be an overlay's upper layer.
bool layer_entry(int from, const std::string& name, int root, const Layers& layers) {
    const base::UniqueFd upper(
        ::openat(from, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const base::UniqueFd work = open_made_dir(layers.work.get(), name.c_str(), 0700, O_PATH);
    const base::UniqueFd fs(::fsopen("overlay", FSOPEN_CLOEXEC));
    if (!upper || !work || !fs || !set_layer(fs.get(), "lowerdir", layers.lower.get()) ||
        !set_layer(fs.get(), "upperdir", upper.get()) ||
        !set_layer(fs.get(), "workdir", work.get()) ||
        // Its own marks in user.* attributes (a user namespace has no trusted.*), none on the
        // directory itself.
        ::fsconfig(fs.get(), FSCONFIG_SET_FLAG, "userxattr", nullptr, 0) != 0 ||
        ::fsconfig(fs.get(), FSCONFIG_SET_STRING, "uuid", "off", 0) != 0 ||
        ::fsconfig(fs.get(), FSCONFIG_SET_STRING, "index", "off", 0) != 0 ||
        ::fsconfig(fs.get(), FSCONFIG_CMD_CREATE, nullptr, nullptr, 0) != 0) {
        return false;
    }
    const base::UniqueFd mnt(
        ::fsmount(fs.get(), FSMOUNT_CLOEXEC, MOUNT_ATTR_NOSUID | MOUNT_ATTR_NODEV));
    if (!mnt) {
        return false;
    }
    check(::move_mount(mnt.get(), "", root, name.c_str(), MOVE_MOUNT_F_EMPTY_PATH),
          "mounting " + name);
    return true;
}

// The top of the directory (the working directory) in the tmpfs `root`.
void put_top_entries(int root, bool own_tmp, bool layered) {
    const Dir top = open_listing(AT_FDCWD, ".", "the jail's directory");
    const int top_fd = ::dirfd(top.get());
    const Layers layers =
        layered ? make_layers(top_fd) : Layers{base::UniqueFd(), base::UniqueFd()};
    while (const dirent* e = ::readdir(top.get())) {
        const std::string name = e->d_name;
        if (dot_or_dots(name) || name == "proc" || name == "run" || (own_tmp && name == "tmp") ||
            name == kLayers) {
            continue;
        }
        struct stat st {};
        if (::fstatat(top_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            check(::mkdirat(root, name.c_str(), 0755), "making /" + name);
            if (layered && layer_entry(top_fd, name, root, layers)) {
                continue;
            }
        } else if (S_ISREG(st.st_mode)) {
            const base::UniqueFd file(
                ::openat(root, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
            if (!file) {
                fail("making /" + name, errno);
            }
        } else if (S_ISLNK(st.st_mode)) {
            std::array<char, PATH_MAX> target{};
            const ssize_t n = ::readlinkat(top_fd, name.c_str(), target.data(), target.size() - 1);
            if (n < 0) {
                fail("reading the link " + name, errno);
            }
            check(::symlinkat(target.data(), root, name.c_str()), "linking /" + name);
            continue;
        } else {
            continue;  // a FIFO, socket or device node at the top: nothing the board needs
        }
        bind_entry(top_fd, name, root);
    }
}

// ---- Copying the jail's tmpfs back
// ----------------------------------------------------------------

// Deeper than this, what the jail left in its tmpfs stays there (and goes with it).
constexpr int kKeptDepth = 64;

struct Left {
    std::string first;
    int count = 0;
    void add(const std::string& path) {
        if (count++ == 0) {
            first = path;
        }
    }
};

void copy_file(int from, int to, const std::string& name, mode_t mode) {
    const base::UniqueFd in(::openat(from, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    const base::UniqueFd out(::openat(
        to, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777));
    if (!in || !out) {
        return;
    }
    std::array<char, 65536> chunk{};
    for (;;) {
        const ssize_t n = ::read(in.get(), chunk.data(), chunk.size());
        if (n <= 0 || ::write(out.get(), chunk.data(), static_cast<std::size_t>(n)) != n) {
            break;
        }
    }
    ::fchmod(out.get(), mode & 0777);
}

void copy_tree(int from, int to, const std::string& shown, int depth, Left& left) {
    const Dir listing = open_listing(from, ".", shown);
    while (const dirent* e = ::readdir(listing.get())) {
        const std::string name = e->d_name;
        struct stat st {};
        if (dot_or_dots(name) || ::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            continue;
        }
        std::string path = shown + "/";
        for (const char c : name) {  // the board chose it: no control bytes to the terminal
            const auto byte = static_cast<unsigned char>(c);
            path += byte >= 0x20 && byte < 0x7F ? std::string(1, c) : "?";
        }
        if (S_ISREG(st.st_mode)) {
            copy_file(from, to, name, st.st_mode);
        } else if (S_ISLNK(st.st_mode)) {
            std::array<char, PATH_MAX> target{};
            // A link that cannot be read or made is left out and named, as a special file is.
            if (::readlinkat(from, name.c_str(), target.data(), target.size() - 1) < 0 ||
                ::symlinkat(target.data(), to, name.c_str()) != 0) {
                left.add(path);
            }
        } else if (S_ISDIR(st.st_mode) && depth < kKeptDepth &&
                   ::mkdirat(to, name.c_str(), 0700) == 0) {
            constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            const base::UniqueFd sub_from(::openat(from, name.c_str(), kFlags));
            const base::UniqueFd sub_to(::openat(to, name.c_str(), kFlags));
            if (sub_from && sub_to) {
                copy_tree(sub_from.get(), sub_to.get(), path, depth + 1, left);
            }
            ::fchmod(sub_to.get(), st.st_mode & 0777);
        } else {
            left.add(path);
        }
    }
}

}  // namespace

void build_tree(const std::string& root, const JailOptions& options) {
    // The directory becomes a mount of its own so that it can be made the root.
    check(::mount(root.c_str(), root.c_str(), nullptr, MS_BIND | MS_REC, nullptr),
          "bind-mounting " + root + " on itself");
    // A setuid file or a device node the board makes gives nothing inside it.
    restrict_bind(root, MS_NOSUID | MS_NODEV);
    add_devices(root, options);
}

std::string build_locked_tree(const JailOptions& options, bool layered, int& tmp) {
    const base::UniqueFd dir(::openat(AT_FDCWD, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir) {
        fail("opening the jail's directory", errno);
    }
    base::UniqueFd root = new_tmpfs("/", "0755", "1m");
    put_top_entries(root.get(), !options.tmp_size.empty(), layered);
    if (!options.tmp_size.empty()) {
        base::UniqueFd ram = new_tmpfs("/tmp", "1777", options.tmp_size);
        check(::mkdirat(root.get(), "tmp", 0755), "making /tmp");
        check(::move_mount(ram.get(), "", root.get(), "tmp", MOVE_MOUNT_F_EMPTY_PATH),
              "mounting the tmpfs on /tmp");
        tmp = ram.release();
    }
    // Over the directory, in this mount namespace only: pivot_root needs the root attached.
    check(::move_mount(root.get(), "", dir.get(), "",
                       MOVE_MOUNT_F_EMPTY_PATH | MOVE_MOUNT_T_EMPTY_PATH),
          "mounting the jail's root");
    const std::string path = "/proc/self/fd/" + std::to_string(root.release());
    add_devices(path, options);
    return path;
}

void remove_layers() {
    const base::UniqueFd dir(::openat(AT_FDCWD, kLayers, kListed));
    const std::string name = std::to_string(::getpid());
    const base::UniqueFd run(dir ? ::openat(dir.get(), name.c_str(), kListed) : -1);
    if (run) {
        remove_run(dir.get(), name.c_str(), run.get());
        ::unlinkat(AT_FDCWD, kLayers, AT_REMOVEDIR);  // unless another run uses it
    }
}

void keep_ram_files(int tmp) {
    const base::UniqueFd to(
        ::openat(AT_FDCWD, "tmp", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!to) {
        return;
    }
    Left left;
    try {
        copy_tree(tmp, to.get(), "tmp", 0, left);
    } catch (const StepFailed&) {
        left.add("tmp");
    }
    if (left.count > 0) {
        std::fprintf(
            stderr, "mpboard: %s%s: not kept from the board's RAM (%s)\n", left.first.c_str(),
            left.count > 1 ? (" and " + std::to_string(left.count - 1) + " more").c_str() : "",
            "only directories up to 64 deep, files and links are");
    }
}

void hide_command_line() {
    const base::UniqueFd fd(::openat(AT_FDCWD, "/proc/self/stat", O_RDONLY | O_CLOEXEC));
    std::array<char, 1024> text{};
    const ssize_t n = fd ? ::read(fd.get(), text.data(), text.size() - 1) : -1;
    const std::string stat(text.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
    const auto comm_end = stat.rfind(')');
    if (comm_end == std::string::npos) {
        fail_because("hiding the command line", "no /proc/self/stat");
    }
    // arg_start and arg_end are fields 48 and 49; field 3 follows the command's ") ".
    std::size_t at = comm_end + 2;
    std::array<unsigned long, 2> bounds{};
    for (int field = 3; field <= 49 && at < stat.size(); ++field) {
        const std::size_t end = std::min(stat.find(' ', at), stat.size());
        if (field >= 48) {
            bounds[static_cast<std::size_t>(field - 48)] =
                std::strtoul(stat.c_str() + at, nullptr, 10);
        }
        at = end + 1;
    }
    if (bounds[0] == 0 || bounds[1] <= bounds[0]) {
        fail_because("hiding the command line", "no argument area in /proc/self/stat");
    }
    auto* const args = reinterpret_cast<char*>(bounds[0]);
    const std::size_t size = bounds[1] - bounds[0];
    std::memset(args, 0, size);
    std::memcpy(args, "init", std::min<std::size_t>(4, size - 1));
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

}  // namespace jail::steps
