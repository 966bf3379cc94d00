/* A board's application that tries every way out of the board it knows, one line "<attempt>:
 * <result>" each, the result "ESCAPED" when it got through. The host's file it is after begins
 * with "host " and lies beside the board's directory. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

static void say(const char* what, int escaped, const char* why) {
    printf("%s: %s\n", what, escaped ? "ESCAPED" : why);
}
static void report(const char* what, long rc) {
    say(what, rc >= 0, strerror(errno));
}

/* The host's file on fd (spoilt by an earlier attempt or not): spoilt, and 1. */
static int found(int fd) {
    char text[5] = "";
    if (pread(fd, text, sizeof text, 0) != sizeof text || memcmp(text, "host ", sizeof text) != 0)
        return 0;
    (void)!pwrite(fd, "escaped\n", 8, sizeof text);
    fchmod(fd, 06777);
    return 1;
}

/* An entry of /proc/N/fd that is the file, or a directory it lies beside. */
static int walk(int dir, const char* name) {
    int fd = openat(dir, name, O_RDWR), hit = found(fd), up = openat(dir, name, O_DIRECTORY);
    close(fd);
    hit |= found(fd = openat(up, "../secret", O_RDWR));
    close(fd), close(up);
    return hit;
}

/* A setuid file below more directories than mpboard may hold open, and one in a directory closed
 * to its owner too; mpboard clears the bits after the run. */
static void hide_setuid_files(void) {
    (void)!chdir("/user");
    for (int i = 0; i < 1100; ++i)
        mkdir("d", 0755), (void)!chdir("d");
    fchmod(open("suid", O_WRONLY | O_CREAT, 0755), 06755);
    mkdir("/user/closed", 0755);
    fchmod(open("/user/closed/suid", O_WRONLY | O_CREAT, 0755), 06755);
    chmod("/user/closed", 0405);
    (void)!chdir("/");
}

/* Processes started (up to 1000), or MiB one process touched (up to 1024), before the board said
 * no. */
static int bomb(int memory) {
    static pid_t child[1000];
    int pipes[2], n = 0;
    if (memory && pipe(pipes) == 0) {
        if ((child[0] = fork()) == 0)
            for (close(pipes[0]);; (void)!write(pipes[1], "x", 1))
                memset(malloc(1 << 20), 1, 1 << 20);
        close(pipes[1]);
        for (char c; n < 1024 && read(pipes[0], &c, 1) == 1;)
            ++n;
        close(pipes[0]);
    }
    for (; !memory && n < 1000 && (child[n] = fork()) >= 0; ++n)
        if (child[n] == 0)
            pause();
    for (int i = 0; i < (memory ? 1 : n); ++i)
        kill(child[i], SIGKILL), waitpid(child[i], NULL, 0);
    return n;
}

int main(void) {
    int hit = 0;
    for (int fd = 3; fd < 1024; ++fd)
        hit |= found(fd);
    say("inherited descriptors", hit, "none");
    hit = 0;
    DIR* proc = opendir("/proc");
    for (struct dirent* p; proc != NULL && (p = readdir(proc)) != NULL;) {
        char path[300];
        snprintf(path, sizeof path, "/proc/%s/fd", p->d_name);
        DIR* fds = opendir(path);
        if (fds == NULL)
            continue;
        for (struct dirent* f; (f = readdir(fds)) != NULL;)
            hit |= walk(dirfd(fds), f->d_name);
        closedir(fds);
    }
    say("/proc/*/fd walk", hit, "nothing of the host");
    report("TIOCSTI", ioctl(0, TIOCSTI, "x"));
    char paste = 3; /* TIOCL_PASTESEL */
    report("TIOCLINUX", ioctl(0, TIOCLINUX, &paste));
    struct statvfs vfs;
    /* mpboard clears the bits after the run. */
    fchmod(open("/user/suid", O_WRONLY | O_CREAT, 0755), 06755);
    hide_setuid_files();
    say("setuid file", statvfs("/user", &vfs) == 0 && !(vfs.f_flag & ST_NOSUID), "nosuid");
    report("ptrace PID 1", ptrace(PTRACE_SEIZE, 1, 0, 0));
    report("PID 1's memory", open("/proc/1/mem", O_RDONLY));
    report("core_pattern", open("/proc/sys/kernel/core_pattern", O_WRONLY));
    report("sysrq-trigger", open("/proc/sysrq-trigger", O_WRONLY));
    report("mount proc", mount("proc", "/tmp", "proc", 0, NULL));
    report("mknod disk", mknod("/tmp/sda", S_IFBLK | 0600, makedev(8, 0)));
    unsigned root[4] = {8, 1, 2}; /* bytes, type (ext4's), inode 2: a file system's root */
    report("open_by_handle_at", open_by_handle_at(open("/", O_RDONLY), (void*)root, O_RDONLY));
    report("module", syscall(SYS_finit_module, open("/bin/busybox", O_RDONLY), "", 0));
    FILE* log = fopen("/var/log/board.log", "a");
    fputs("attack: \033[2J\n", log), fclose(log);
    int ldisc = 27; /* N_NULL */
    report("TIOCSETD", ioctl(0, TIOCSETD, &ldisc));
    report("TIOCEXCL", ioctl(0, TIOCEXCL));
    report("TIOCNXCL", ioctl(0, TIOCNXCL));
    struct winsize tiny = {1, 1, 0, 0};
    struct termios raw;
    tcgetattr(0, &raw), cfmakeraw(&raw), tcsetattr(0, TCSANOW, &raw), ioctl(0, TIOCSWINSZ, &tiny);
    int tty = open("/dev/tty", O_RDWR);
    say("dev/tty", tty >= 0 && isatty(tty) && !isatty(0), "not the caller's");
    say("chmod /", 0, chmod("/", 0755) == 0 ? "the board's own root only" : strerror(errno));
    char text[256] = "";
    errno = 0;
    FILE* id = fopen("/user/keyid", "r");
    say("keyctl describe",
        id && fgets(text, sizeof text, id) &&
            syscall(SYS_keyctl, 6 /* KEYCTL_DESCRIBE */, atoi(text), text, sizeof text) >= 0,
        strerror(errno));
    ssize_t got = read(open("/proc/1/cmdline", O_RDONLY), text, sizeof text - 1);
    for (ssize_t i = 0; i < got; ++i)
        text[i] = text[i] ? text[i] : ' ';
    printf("PID 1's command line: %.*s\n", (int)(got > 0 ? got : 0), text);
    for (int i = 0; i < 2; ++i) { /* the board's mount table, for the host's paths in it */
        FILE* table = fopen(i ? "/proc/self/mounts" : "/proc/self/mountinfo", "r");
        for (char line[1024]; table && fgets(line, sizeof line, table);)
            printf("mount: %s", line);
    }
    static char mib[1 << 20];
    int big = open("/tmp/big", O_WRONLY | O_CREAT, 0600), written = 0;
    while (written < 300 && write(big, mib, sizeof mib) == sizeof mib)
        ++written;
    snprintf(text, sizeof text, "stopped at %d MiB", written);
    say("300 MiB in /tmp", written == 300, text);
    unlink("/tmp/big");
    say("fork bomb", bomb(0) == 1000, "bounded");
    say("1 GiB of memory", bomb(1) == 1024, "bounded");
    report("user namespace", unshare(CLONE_NEWUSER));
    report("umount /", umount2("/", MNT_DETACH));
    report("chroot", chroot("/tmp"));
    /* The caller's process group, and every process this one may signal. */
    signal(SIGWINCH, SIG_IGN);
    say("signals", 0, kill(0, SIGWINCH) + kill(-1, SIGWINCH) == 0 ? "sent" : strerror(errno));
    puts("waiting"), fflush(stdout); /* for a look from the host, then the end the test chooses */
    (void)!read(0, text, 1);
    return 0;
}
