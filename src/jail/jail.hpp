// The jail: a directory made the whole world of a process.
//
// A sandbox board runs the launcher with the board directory as its root, so the board's fixed
// paths ("/user/images/image1", "/tmp/kaviximage.tar.gz", "/dev/mtd-rescue") are real paths and
// the board's shell commands run unchanged. The unit-test binaries jail themselves the same way
// in an empty directory. Inside, the process has its own user, mount, PID, network, UTS and IPC
// namespaces:
//   - it is root of its own user namespace (an ordinary caller is mapped to root there), with no
//     power over anything of the host;
//   - the directory is the root of its private mount namespace (pivot_root, old root detached),
//     so no path leads back to the host's files, and nothing it mounts is seen outside;
//   - PID 1 is the jail's own: BusyBox reboot, halt and poweroff signal it, and reboot(2) ends
//     the jail instead of the host;
//   - the network namespace is empty (lo, down) unless someone adds an interface to it.
// Under the directory the jail mounts: dev/null, dev/zero and dev/tty (bind mounts on files it
// creates), a devpts instance of its own on dev/pts with dev/ptmx -> pts/ptmx, a tmpfs on run/
// holding the marker run/mpboard-jail (the sandbox platform runs commands only under it), and
// proc on proc/ (the sanitizers' leak checker and ps read it). The jail leaves these files and
// directories behind in the directory (empty), nothing else. Its PID 1 is a small init that only
// reaps and passes the program's status on; the program runs as PID 2.
//
// namespaces.cpp makes the namespaces, mounts.cpp the tree and the pivot into it, jail.cpp the
// processes and their report to the caller.
//
// Works as root and as an ordinary user where unprivileged user namespaces are allowed. Under
// qemu-user a process cannot enter a user namespace (qemu runs helper threads): as root the jail
// then goes on without one; an ordinary user under qemu gets an error.
//
// A board's jail is locked (JailOptions::locked), because what runs in it is anybody's package,
// as root of the board and, under --netns or in the demo, the workstation's root in its user
// namespace (its uid 0 is the host's). What it adds:
//   - PID 1 holds no descriptor but the console and its pipes to the caller (the caller's others
//     and anything opened in the host's mount namespace are closed before the program starts),
//     cannot be traced or read (not dumpable, its memory belongs to the host's user namespace),
//     and leads a process group of its own, so kill(0) in the board never reaches the caller;
//   - the program starts in a new session keyring, not the caller's;
//   - proc shows the board's processes only (subset=pid: no /proc/sys, whose files the host's
//     uid 0 may write even from a user namespace, no /proc/sysrq-trigger);
//   - no user namespace can be made inside, so nothing in the board regains a capability;
//   - lock_down() in the program: see there.
//   - it is built from a descriptor of the directory that the caller opened, never from its path:
//     the directory is only ever reached through that descriptor (the process that makes the
//     namespaces has it as its working directory, which the new mount namespace keeps);
//   - its "/" is a tmpfs of its own (seen in the jail's mount namespace only), which holds a
//     mount of each directory and file at the top of the directory, and a symbolic link for
//     each link there: in a user namespace a directory is an overlay with the directory as its
//     upper layer and an empty lower one (its mount table then names no path of the host; the
//     overlays' work directories are in the directory's .mpboard-layers/, removed when the jail
//     ends), else, and for a file, a bind mount; proc/ and run/ are the jail's own, and so is
//     tmp/ with a size (tmp_size): the board never holds the directory itself, so nothing it does
//     to its "/" (chmod, chown) reaches the directory, which the caller keeps closed to other
//     accounts; a file or directory the board makes at its top level lives on that tmpfs and ends
//     with the jail;
//   - without a console, dev/tty is dev/null: the board gets no terminal of the caller's;
//   - its PID 1's command line reads "init" (the caller's named the directory);
//   - its processes run in a control group of their own with a process and a memory limit
//     (`limits`), where the caller may make one (root, or a group delegated to the caller);
//     else the process limit is the program's RLIMIT_NPROC, which in the jail's user namespace
//     counts the jail's processes only, and the memory is not limited (one line says so);
//   - SIGTERM and SIGHUP to the caller end the jail (end_on_signals), so that the caller can
//     tidy up before it ends the same way.
// Every jail mounts its directory nosuid and nodev, and dev/null, dev/zero, dev/tty and
// dev/ttyS0 read-only, so the board's root cannot change the host's device nodes.
#pragma once

#include <string>

#include "jail/options.hpp"

namespace jail {

struct JailResult {
    enum class Side {
        inside,   // this process is the jailed program: it returns into the jail
        outside,  // the caller's process, after the jailed program ended
        failed,   // the jail could not be made; nothing runs in it
    };
    Side side = Side::failed;
    // outside: the jailed program's status as waitpid() reports it (a signal that ended the
    // program, or the jail's init, is kept as such).
    int wait_status = 0;
    // failed: one line "jail: <step>: <reason>".
    std::string error;
    // outside: SIGTERM or SIGHUP that ended the jail (end_on_signals), else 0.
    int caller_signal = 0;
};

// Forks; the calling process stays outside, waits for the jailed program and gets its status.
// The program returns from enter_jail inside the jail with the caller's standard streams, process
// group and signal dispositions, in "/" of the jail. A jail can be entered from inside another.
// Call it while the process has only one thread (before anything starts threads).
JailResult enter_jail(const std::string& dir, const JailOptions& options = {});
// A locked jail in the directory `dir_fd` (any descriptor of it, O_PATH too); `shown` names it in
// messages.
JailResult enter_jail(int dir_fd, const std::string& shown, JailOptions options);

// In the program of a locked jail, once its own set-up (mounts, process group) is done: every
// capability but the board root's rights over its own files and network (CAP_CHOWN,
// CAP_DAC_OVERRIDE, CAP_FOWNER, CAP_NET_ADMIN) leaves the bounding set, no exec gains any
// (PR_SET_NO_NEW_PRIVS), the process is not dumpable until it execs, and a seccomp filter refuses
// with EPERM: the terminal calls that push input into it or change it for its later users
// (TIOCSTI, TIOCLINUX, TIOCSETD, TIOCEXCL, TIOCNXCL, TIOCCONS, TIOCSLCKTRMIOS: the terminal may
// be the caller's), the keyring calls (keyctl, add_key, request_key: keys are looked up by
// number, and a root caller's keys would answer the board's root), and every system call of
// another ABI (32-bit or x32 on x86-64). Throws on failure.
void lock_down();

// Ends the calling process the way the jailed program ended: its exit status, or the signal that
// ended it (raised again here, without a core dump).
[[noreturn]] void exit_like(int wait_status);

}  // namespace jail
