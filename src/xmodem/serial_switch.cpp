// The console line switched to the download speed and back. The operator's terminal program
// has to follow each switch by hand, so every switch ends only when a key typed at the new speed
// arrives: a carriage return at 115200 bit/s (raw mode passes it as it is), a line feed once
// the console settings are back.
#include "xmodem/serial_switch.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/unique_fd.hpp"
#include "platform/platform.hpp"

namespace {

// The console line's settings as they were before the switch to the download speed.
struct termios oldtty;

enum class Wait { key, line_lost };

// A read of 0 bytes is a hang-up, or only "nothing yet" on a line whose settings let a read
// return at once (VMIN 0): the line tells which.
bool hung_up(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) != 0;
}

// Reads the line once a second until `key` arrives; any other byte is dropped. A reminder goes
// out after every 11 waits. A line that is gone (closed descriptor, I/O error, hang-up) never
// brings the key, so the wait gives up on it instead of polling a dead line for ever.
Wait wait_for_key(int fd, char key, const char* reminder) {
    int waits = 0;
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n == 1 && c == key) {
            return Wait::key;
        }
        if ((n == 0 && hung_up(fd)) || (n < 0 && (errno == EBADF || errno == EIO))) {
            return Wait::line_lost;
        }
        platform::clock_sleep(1);
        if (waits == 10) {
            waits = 0;
            std::puts(reminder);
            std::fflush(stdout);
        } else {
            ++waits;
        }
    }
}

// The switch back waits for the line to be silent for a second, and for that at most five
// seconds, in pauses of a tenth of a second on the board's clock.
constexpr useconds_t kPause = 100000;
constexpr int kQuietPauses = 10;
constexpr int kMostPauses = 50;

// Reads and drops what has arrived: whether anything had. A line that is gone counts as silent.
bool dropped_input(int fd) {
    char dropped[256];
    bool any = false;
    while (::read(fd, dropped, sizeof dropped) > 0) {
        any = true;
    }
    return any;
}

// A terminal program hands its line to the sender (sx) for the transfer and shows what the board
// prints only once the sender has ended, a moment after the sender's last byte: whatever arrives
// before that is read by the sender and lost. So the switch back is announced once the line has
// been silent for a whole second; what arrives until then is dropped, like the input that the
// switch itself drops. A line that never falls silent (a key held down, a floating line) does not
// hold the rescue: after five seconds the announcement comes anyway. Every pause is a whole one,
// whatever arrives during it, so a busy line cannot shorten the wait.
void wait_until_quiet(int fd) {
    int quiet = 0;
    for (int pauses = 0; quiet < kQuietPauses && pauses < kMostPauses; ++pauses) {
        platform::clock_usleep(kPause);
        quiet = dropped_input(fd) ? 0 : quiet + 1;
    }
}

// What has been printed leaves first; the operator must read it before switching the terminal.
void drain_and_flush(int fd) {
    std::fflush(stdout);
    static_cast<void>(platform::serial_drain_flush(fd));
}

}  // namespace

int init_serial() {
    base::UniqueFd line(::open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK));
    if (!line) {
        std::perror("Can't open serial port!");
        return -1;
    }
    std::puts("       Change the baud rate to 115200 bps and hit the <ENTER> key");
    std::puts("       before initiating the download.");
    const int fd = line.get();
    drain_and_flush(fd);

    ::tcgetattr(fd, &oldtty);
    struct termios tty = oldtty;
    ::cfsetispeed(&tty, B115200);
    ::cfsetospeed(&tty, B115200);
    tty.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    tty.c_cflag |= CS8;
    tty.c_iflag = IGNBRK;
    tty.c_oflag = 0;
    tty.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    ::tcsetattr(fd, TCSADRAIN, &tty);
    ::tcflow(fd, TCOON);

    if (wait_for_key(fd, '\r',
                     "\r\n    ... Waiting for the <Enter> key to be hit before the download can "
                     "start...\r") == Wait::line_lost) {
        return -1;
    }
    return line.release();
}

void reset_serial(int fd) {
    wait_until_quiet(fd);
    std::puts("       Change the baud rate back to 9600 bps, hit the <ENTER> key");
    drain_and_flush(fd);
    ::tcsetattr(fd, TCSADRAIN, &oldtty);
    ::tcflow(fd, TCOON);
    static_cast<void>(
        wait_for_key(fd, '\n', "\r\n    ... Waiting for the <ENTER> key to be hit...\r"));
}
