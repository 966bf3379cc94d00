// The operator's keys on the serial console and the line editor of every question.
//
// The console stays in its own (canonical, echoing) mode except for the instant of each single
// read: the shell commands run between questions find the terminal as they expect it.

#include "console/console.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr unsigned char kBs = 0x08;
constexpr unsigned char kBel = 0x07;
constexpr unsigned char kEsc = 0x1B;

// Set once standard input can deliver no byte any more; from then on uartGetC reads nothing.
bool input_ended = false;

int uartPutC(int ch) {
    std::putchar(static_cast<unsigned char>(ch));
    return std::fflush(stdout);
}

// Why a read gave no byte. An interrupted read (the interrupt key) or a momentarily empty
// non-blocking descriptor is no end; end of file, a hang-up (EIO on a terminal whose other side
// has gone) or a descriptor that is no longer readable is.
void note_no_byte(ssize_t got, int err, bool waits_for_key) {
    if (got == 0) {
        // A terminal set to return at once (VMIN 0) answers "no key yet" with 0: no end.
        input_ended = waits_for_key;
        return;
    }
    if (err == EINTR) {
        return;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) {
        // A non-blocking console: wait for the next key here instead of spinning on it.
        pollfd pfd{0, POLLIN, 0};
        if (::poll(&pfd, 1, -1) < 0) {
            input_ended = errno != EINTR;
        } else {
            input_ended = (pfd.revents & (POLLERR | POLLNVAL)) != 0;
        }
        return;
    }
    input_ended = true;
}

// The line being edited: the caller's buffer, the cursor, the room left, and the echo.
class Line {
public:
    Line(char* line, unsigned size) : text_(reinterpret_cast<unsigned char*>(line)), room_(size) {
        std::memset(line, 0, size);
    }

    // One key in escape state 0. True when the key ends the input.
    bool plain_key(unsigned char c) {
        switch (c) {
            case 0x01:
                while (cursor_ > 0) {
                    left();
                }
                return false;
            case 0x02:
                left();
                return false;
            case 0x03:
                std::fputs(" <break>\n", stdout);
                std::fflush(stdout);
                return true;
            case 0x04:
                if (cursor_ < length_) {
                    remove_at_cursor();
                }
                return false;
            case 0x06:
                right();
                return false;
            case 0x08:
            case 0x7F:
                backspace();
                return false;
            case 0x0A:
            case 0x0D:
                uartPutC('\n');
                return true;
            default:
                break;
        }
        // The other control bytes (ESC never gets here) and a full line are refused.
        if (c >= 0x20 && room_ > 1) {
            insert(c);
        } else {
            uartPutC(kBel);
        }
        return false;
    }

    void left() {
        if (cursor_ > 0) {
            --cursor_;
            uartPutC(kBs);
        }
    }

    void right() {
        if (cursor_ < length_) {
            uartPutC(text_[cursor_++]);
        }
    }

    // ESC then BS or DEL: at least the character before the cursor, then on while the next one
    // to go is a letter, a digit or one of the few signs between them, so that a word (or one
    // number of a dotted address) goes in one stroke and the separator before it stays.
    void delete_word() {
        if (cursor_ == 0) {
            return;
        }
        backspace();
        while (cursor_ > 0 && text_[cursor_ - 1] >= '0' && text_[cursor_ - 1] <= 'z') {
            backspace();
        }
    }

    // The input has ended: the line stands as typed, closed as Enter closes it.
    void close() { uartPutC('\n'); }

private:
    void backspace() {
        if (cursor_ > 0) {
            --cursor_;
            uartPutC(kBs);
            remove_at_cursor();
        }
    }

    // Takes out the character under the cursor and redraws the tail over it, blanking the old
    // last column; the terminal's cursor ends where it was.
    void remove_at_cursor() {
        std::memmove(text_ + cursor_, text_ + cursor_ + 1, length_ - cursor_ - 1);
        text_[--length_] = 0;
        ++room_;
        for (unsigned i = cursor_; i < length_; ++i) {
            uartPutC(text_[i]);
        }
        uartPutC(' ');
        for (unsigned i = cursor_; i <= length_; ++i) {
            uartPutC(kBs);
        }
    }

    void insert(unsigned char c) {
        std::memmove(text_ + cursor_ + 1, text_ + cursor_, length_ - cursor_);
        text_[cursor_] = c;
        ++length_;
        --room_;
        for (unsigned i = cursor_; i < length_; ++i) {
            uartPutC(text_[i]);
        }
        ++cursor_;
        for (unsigned i = cursor_; i < length_; ++i) {
            uartPutC(kBs);
        }
    }

    unsigned char* text_;
    long room_;
    unsigned length_ = 0;
    unsigned cursor_ = 0;
};

}  // namespace

std::uint8_t uartGetC() {
    if (input_ended) {
        return 0;
    }
    termios kept{};
    const bool terminal = ::tcgetattr(0, &kept) == 0;
    termios raw = kept;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    ::tcsetattr(0, TCSANOW, &raw);

    unsigned char byte = 0;
    const ssize_t got = ::read(0, &byte, 1);
    const int err = errno;

    ::tcsetattr(0, TCSANOW, &kept);
    if (got != 1) {
        note_no_byte(got, err, !terminal || kept.c_cc[VMIN] > 0);
        byte = 0;
    }
    return byte;
}

bool console_input_ended() {
    return input_ended;
}

char* get_user_input(char* line, unsigned line_size) {
    Line edit(line, line_size);
    int escape = 0;
    for (;;) {
        const unsigned char c = uartGetC();
        if (c == 0 && input_ended) {
            edit.close();
            return line;
        }
        if (escape == 1) {
            escape = 0;
            if (c == '[') {
                escape = 2;
                continue;
            }
            if (c == 0x08 || c == 0x7F) {
                edit.delete_word();
                continue;
            }
            // The ESC is dropped and the byte taken as a plain key below.
        } else if (escape == 2) {
            if ((c >= '0' && c <= '9') || c == ';') {
                continue;
            }
            escape = 0;
            if (c == 'C') {
                edit.right();
            } else if (c == 'D') {
                edit.left();
            }
            continue;
        }
        if (c == kEsc) {
            escape = 1;
        } else if (edit.plain_key(c)) {
            return line;
        }
    }
}
