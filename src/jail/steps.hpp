// The steps that make a jail, shared by the files of src/jail/. Not for use outside it.
//
// Files are reached through openat and fstatat only: tests of the board's platform link with
// open and stat wrapped (ld --wrap), and their main still has to build the jail.
#pragma once

#include <sys/types.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "jail/options.hpp"

namespace jail::steps {

// A step that failed: "jail: <step>: <reason>".
class StepFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail_because(const std::string& step, const std::string& reason);
[[noreturn]] void fail(const std::string& step, int err, const std::string& hint = {});
// fail(step, errno) unless rc is 0.
void check(long rc, const std::string& step);

// namespaces.cpp. In the process that becomes the jail's parent of PID 1: a user namespace of
// its own where the caller is root (or none for root under qemu-user; `locked`: none can be made
// inside it), then the mount, PID, network, UTS and IPC namespaces, every mount made private.
// Returns whether it made a user namespace.
bool enter_user_namespace(bool locked);
void enter_namespaces();

// mounts.cpp. The real path of the jail's directory (never the host's root); a console must be a
// terminal device.
std::string jail_root(const std::string& dir);
void check_console(const std::string& console);
// Everything under the directory but proc, which only a process of the new PID namespace can
// mount.
void build_tree(const std::string& root, const JailOptions& options);
// A locked jail's tree, in the process whose working directory is the jail's directory and which
// has made the namespaces: a tmpfs as the jail's root over the directory, the directory's top
// entries bound into it (see jail.hpp), then what build_tree adds. Returns the path of the new
// root ("/proc/self/fd/N": its descriptor stays open); `tmp` gets the jail's tmpfs on tmp/ when
// options.tmp_size asks for one. `layered` (in a user namespace): each directory of the top is
// an overlay whose upper layer is that directory, with its work directory in kLayers; else a
// bind mount.
std::string build_locked_tree(const JailOptions& options, bool layered, int& tmp);
// The directory of the overlays' work directories, at the top of the jail's directory and never
// in the jail; remove_layers(), in the process that made the jail's tree, removes this run's
// (the working directory is the jail's directory).
inline constexpr const char* kLayers = ".mpboard-layers";
void remove_layers();
// Copies what the jail's tmpfs `tmp` holds into tmp/ of the directory (the working directory):
// directories, regular files and symbolic links, without set-id bits; what it leaves (other
// kinds, and what lies too deep) is named on standard error in one line.
void keep_ram_files(int tmp);
// The caller's command line in this process's memory becomes "init".
void hide_command_line();

// limits.cpp. In the caller: a control group for the jail's PID 1 (see jail.hpp), removed with
// this object; throws StepFailed when none can be made (what was made is removed).
class ControlGroups {
public:
    ControlGroups(pid_t init, const JailOptions& options);
    ControlGroups(const ControlGroups&) = delete;
    ControlGroups& operator=(const ControlGroups&) = delete;
    ~ControlGroups();

private:
    std::vector<std::string> dirs_;
};

// In PID 1 of the jail: proc (only the jail's processes when `locked`), then the directory
// becomes the root of the mount namespace.
void enter_root(const std::string& root, bool locked);

}  // namespace jail::steps
