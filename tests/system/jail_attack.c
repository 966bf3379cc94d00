/* A board's application that tries every way out of the board it knows, one line "<attempt>:
 * <result>" each, the result "ESCAPED" when it got through. The host's file it is after holds
 * SECRET and lies beside the board's directory. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#define SECRET "host secret\n"

static void say(const char *what, int escaped, const char *why) { printf("%s: %s\n", what, escaped ? "ESCAPED" : why); }
static void report(const char *what, long rc) { say(what, rc >= 0, strerror(errno)); }

static int found(int fd) { /* the host's file on fd: spoilt, and 1 */
    char text[sizeof SECRET] = "";
    if (fd < 0 || pread(fd, text, sizeof SECRET - 1, 0) != sizeof SECRET - 1 || strcmp(text, SECRET) != 0) return 0;
    (void)!pwrite(fd, "escaped\n", 8, 0);
    fchmod(fd, 06777);
    return 1;
}

static int walk(int dir, const char *name) { /* an entry of /proc/N/fd that is the file, or leads to it */
    int fd = openat(dir, name, O_RDWR), hit = found(fd), up = openat(dir, name, O_RDONLY | O_DIRECTORY);
    if (fd >= 0) close(fd);
    if (up >= 0 && (fd = openat(up, "../secret", O_RDWR)) >= 0) hit |= found(fd), close(fd);
    if (up >= 0) close(up);
    return hit;
}

int main(void) {
    int hit = 0;
    for (int fd = 3; fd < 1024; ++fd) hit |= found(fd);
    say("inherited descriptors", hit, "none");
    DIR *proc = opendir("/proc");
    for (struct dirent *p; proc != NULL && (p = readdir(proc)) != NULL;) {
        char path[300];
        snprintf(path, sizeof path, "/proc/%s/fd", p->d_name);
        DIR *fds = opendir(path);
        for (struct dirent *f; fds != NULL && (f = readdir(fds)) != NULL;) hit |= walk(dirfd(fds), f->d_name);
        if (fds != NULL) closedir(fds);
    }
    say("/proc/*/fd walk", hit, "nothing of the host");
    report("TIOCSTI", ioctl(0, TIOCSTI, "x"));
    char paste = 3; /* TIOCL_PASTESEL */
    report("TIOCLINUX", ioctl(0, TIOCLINUX, &paste));
    struct statvfs vfs;
    fchmod(open("/user/suid", O_WRONLY | O_CREAT, 0755), 06755); /* mpboard clears it after the run */
    say("setuid file", statvfs("/user", &vfs) == 0 && !(vfs.f_flag & ST_NOSUID), "nosuid");
    report("ptrace PID 1", ptrace(PTRACE_SEIZE, 1, 0, 0));
    report("PID 1's memory", open("/proc/1/mem", O_RDONLY));
    report("core_pattern", open("/proc/sys/kernel/core_pattern", O_WRONLY));
    report("sysrq-trigger", open("/proc/sysrq-trigger", O_WRONLY));
    report("mount proc", mount("proc", "/tmp", "proc", 0, NULL));
    report("mknod disk", mknod("/tmp/sda", S_IFBLK | 0600, makedev(8, 0)));
    struct { unsigned bytes; int type; unsigned char handle[8]; } root = {8, 1, {2}};
    report("open_by_handle_at", syscall(SYS_open_by_handle_at, open("/", O_RDONLY), &root, O_RDONLY));
    report("module", syscall(SYS_finit_module, open("/bin/busybox", O_RDONLY), "", 0));
    FILE *log = fopen("/var/log/board.log", "a");
    fputs("attack: \033[2J\n", log), fclose(log);
    report("user namespace", unshare(CLONE_NEWUSER));
    report("umount /", umount2("/", MNT_DETACH));
    report("chroot", chroot("/tmp"));
    signal(SIGWINCH, SIG_IGN); /* the caller's process group, and every process this one may signal */
    say("signals", 0, kill(0, SIGWINCH) + kill(-1, SIGWINCH) == 0 ? "sent" : strerror(errno));
    return 0;
}
