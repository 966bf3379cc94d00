/* The pauses of a board's virtual machine multiplied by `mpboard run --vm --clock-scale X`:
 * preloaded into its dynamically linked programs (/etc/ld.so.preload, written only with the
 * option), the factor read from /etc/mpboard-clock-scale. Pauses are sleep, usleep, nanosleep and
 * clock_nanosleep with a relative time; waits for a peer or the operator (poll, select, a read's
 * timeout) and absolute deadlines are left as they are. The board build itself stays the board's.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static double factor = 1.0;

__attribute__((constructor)) static void read_factor(void) {
    FILE* f = fopen("/etc/mpboard-clock-scale", "re");
    double value = 0;
    if (f != NULL) {
        if (fscanf(f, "%lf", &value) == 1 && value >= 0) {
            factor = value;
        }
        fclose(f);
    }
}

static struct timespec scaled(const struct timespec* t) {
    const double ns = ((double)t->tv_sec * 1e9 + (double)t->tv_nsec) * factor;
    struct timespec out = {(time_t)(ns / 1e9), 0};
    out.tv_nsec = (long)(ns - (double)out.tv_sec * 1e9);
    if (out.tv_nsec < 0 || out.tv_nsec >= 1000000000L) {
        out.tv_nsec = 0;
    }
    return out;
}

/* A pause of `t` (scaled) on `clock`; the time left, unscaled back, in `left`. */
static int pause_for(clockid_t clock, const struct timespec* t, struct timespec* left) {
    if (t->tv_nsec < 0 || t->tv_nsec >= 1000000000L || t->tv_sec < 0) {
        return EINVAL;
    }
    struct timespec want = scaled(t);
    struct timespec rest = {0, 0};
    if (syscall(SYS_clock_nanosleep, clock, 0, &want, &rest) == 0) {
        return 0;
    }
    const int error = errno;
    if (left != NULL && factor > 0) {
        const double ns = ((double)rest.tv_sec * 1e9 + (double)rest.tv_nsec) / factor;
        left->tv_sec = (time_t)(ns / 1e9);
        left->tv_nsec = (long)(ns - (double)left->tv_sec * 1e9);
    }
    return error;
}

int clock_nanosleep(clockid_t clock, int flags, const struct timespec* t, struct timespec* left) {
    if (flags & TIMER_ABSTIME) {
        return syscall(SYS_clock_nanosleep, clock, flags, t, left) == 0 ? 0 : errno;
    }
    return pause_for(clock, t, left);
}

int nanosleep(const struct timespec* t, struct timespec* left) {
    const int error = pause_for(CLOCK_REALTIME, t, left);
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

int usleep(useconds_t microseconds) {
    const struct timespec t = {microseconds / 1000000, (long)(microseconds % 1000000) * 1000};
    return nanosleep(&t, NULL);
}

unsigned int sleep(unsigned int seconds) {
    const struct timespec t = {seconds, 0};
    struct timespec left = {0, 0};
    if (nanosleep(&t, &left) == 0) {
        return 0;
    }
    return (unsigned int)left.tv_sec + (left.tv_nsec > 0);
}
