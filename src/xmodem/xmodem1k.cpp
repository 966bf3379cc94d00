// The built-in XMODEM-1K receiver. One read takes all that the line holds (a whole frame at
// once), and getByte hands the bytes out one by one; after an empty read it waits for the line
// up to a millisecond, a wait that ends as soon as a byte arrives. The data of one block at a
// time is held, so the memory used does not grow with the file.
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/file.hpp"
#include "base/unique_fd.hpp"
#include "xmodem/serial_switch.hpp"
#include "xmodem/xmodem.hpp"
#include "xmodem/xmodem_testing.hpp"

namespace {

constexpr std::uint8_t SOH = 0x01;
constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t EOT = 0x04;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;
constexpr std::uint8_t CAN = 0x18;
constexpr std::uint8_t CRC_MODE = 'C';

constexpr int kShortBlock = 128;
constexpr int kLongBlock = 1024;
// Errors in a row after the last accepted block that are still answered with NAK.
constexpr int kRetries = 2;
constexpr int kCancels = 5;

int errorflag = 0;
std::uint8_t buffer[kLongBlock];

// What the last read of the line brought and getByte has not handed out yet: 4 KiB, what the
// tty layer holds for a reader. A frame is 1029 bytes, and the sender waits for its answer.
struct Arrived {
    int fd = -1;
    std::size_t next = 0;
    std::size_t end = 0;
    std::array<std::uint8_t, 4096> bytes{};
};
Arrived arrived;

// The next byte that has arrived on `fd`, from the bytes at hand or from one read of all the line
// holds: false when nothing has arrived.
bool take(int fd, std::uint8_t* dest) {
    if (arrived.fd != fd || arrived.next == arrived.end) {
        const ssize_t n = ::read(fd, arrived.bytes.data(), arrived.bytes.size());
        if (n <= 0) {
            return false;
        }
        arrived.fd = fd;
        arrived.next = 0;
        arrived.end = static_cast<std::size_t>(n);
    }
    *dest = arrived.bytes[arrived.next++];
    return true;
}

// Reads and drops bytes until the line has been silent for `seconds`: the sender has finished
// the frame it was sending.
void drain(std::uint32_t seconds, int fd) {
    std::uint8_t dropped = 0;
    while (getByte(seconds, &dropped, fd) > 0) {
    }
}

struct Transfer {
    std::uint8_t start = 0;  // the byte last taken as a frame start
    std::uint8_t last_block = 0;
    bool accepted_any = false;
    int total = 0;
    std::uint32_t header_timeout = 1;
    int retries = 0;
    bool cancel = false;
};

// The receiver's lines on standard error. On the board that is the console, the very line of
// the transfer: a line written while the sender waits for an answer reaches it as one (sx takes
// the "E" of "EOT" for the answer to its EOT, falls a step behind and loses the final ACK to its
// purge of the line). So they are kept, up to a few dozen, until the receiver's last answer.
struct Messages {
    std::array<char, 64> text{};
    std::size_t used = 0;
};
Messages messages;

void message(const char* line) {
    const std::size_t length = std::strlen(line);
    if (length <= messages.text.size() - messages.used) {
        std::memcpy(messages.text.data() + messages.used, line, length);
        messages.used += length;
    }
}

void write_messages() {
    std::fwrite(messages.text.data(), 1, messages.used, stderr);
    messages.used = 0;
}

bool starts_frame(std::uint8_t c, const Transfer& t) {
    return c == SOH || c == STX || c == EOT || (!t.accepted_any && (c == ACK || c == CAN));
}

// After the NAK to a first EOT: a second EOT or silence confirms the end.
void handle_eot(Transfer& t, int fd) {
    message("EOT\n");
    flushRX(fd);
    putByte(NAK, fd);
    std::uint8_t next = 0;
    if (getByte(5, &next, fd) < 0 || next == EOT) {
        return;
    }
    if (!starts_frame(next, t)) {
        errorflag |= ERR_EOT_UNCONFIRMED;
    }
    t.start = 0;
}

// A block header's byte, or a CRC byte: one that does not arrive spoils the frame (it is never
// compared in the state the last frame left it).
bool frame_byte(std::uint8_t* byte, int fd) {
    if (getByte(3, byte, fd) < 0) {
        errorflag |= ERR_TIMEOUT;
        return false;
    }
    return true;
}

void handle_block(Transfer& t, std::FILE* file, int fd) {
    const int size = t.start == SOH ? kShortBlock : kLongBlock;
    if (!t.accepted_any) {
        t.retries = 0;
        t.header_timeout = 5;
    }
    std::uint8_t number = 0;
    std::uint8_t complement = 0;
    if (!frame_byte(&number, fd) || !frame_byte(&complement, fd)) {
        return;
    }
    if (number + complement != 0xFF) {
        errorflag |= ERR_BLOCK_COMPLEMENT;
    } else if (number == static_cast<std::uint8_t>(t.last_block + 1)) {
        std::uint16_t crc = 0;
        const int received = readData(buffer, size, &crc, fd);
        std::uint8_t high = 0;
        std::uint8_t low = 0;
        if (received == 0) {
            errorflag |= ERR_NO_DATA;
        } else if (!frame_byte(&high, fd) || !frame_byte(&low, fd) || (high << 8 | low) != crc) {
            errorflag |= ERR_CRC;
        } else {
            // A block that does not reach the file must not be acknowledged: the sender would
            // take the file for complete.
            if (std::fwrite(buffer, 1, static_cast<std::size_t>(received), file) !=
                    static_cast<std::size_t>(received) ||
                std::fflush(file) != 0) {
                t.cancel = true;
                return;
            }
            t.retries = 0;
            t.total += received;
            t.accepted_any = true;
            t.last_block = number;
            flushRX(fd);
            putByte(ACK, fd);
        }
    } else if (number == 0 && !t.accepted_any) {
        errorflag |= ERR_BLOCK_ZERO;
    } else if (number != t.last_block) {
        errorflag |= ERR_SEQUENCE;
        t.cancel = true;
    } else {
        // The sender missed our ACK and sends the block again: it is in the file already.
        flushRX(fd);
        drain(1, fd);
        putByte(ACK, fd);
    }
}

void handle_error(Transfer& t, int fd) {
    if (!t.accepted_any) {
        // The rest of a refused frame would otherwise be searched for frame starts, and its
        // data bytes taken for blocks or an EOT.
        if (t.start == SOH || t.start == STX) {
            drain(1, fd);
        }
        putByte(CRC_MODE, fd);
        return;
    }
    if (++t.retries > kRetries) {
        t.cancel = true;
        return;
    }
    flushRX(fd);
    drain(2, fd);
    putByte(NAK, fd);
}

}  // namespace

int getByte(std::uint32_t timeout, std::uint8_t* dest, int fd) {
    const std::uint64_t waits = std::uint64_t{timeout} * 1000;
    for (std::uint64_t i = 0; i < waits; ++i) {
        if (take(fd, dest)) {
            return 1;
        }
        wait_for_input(fd, 1000);
    }
    return -1;
}

ssize_t putByte(std::uint8_t byte, int fd) {
    return ::write(fd, &byte, 1);
}

ssize_t flushRX(int fd) {
    arrived.next = arrived.end;
    ssize_t n = 0;
    do {
        n = ::read(fd, arrived.bytes.data(), arrived.bytes.size());
    } while (n > 0);
    return n;
}

int readData(std::uint8_t* dest, int count, std::uint16_t* crc, int fd) {
    std::uint16_t sum = 0;
    *crc = 0;
    int remaining = count;
    int received = 0;
    while (remaining > 0) {
        int pass = 0;
        while (pass < remaining && getByte(1, dest + received + pass, fd) > 0) {
            ++pass;
        }
        if (pass == 0) {
            break;
        }
        for (int i = 0; i < pass; ++i) {
            sum = crc16_update(sum, dest[received + i]);
        }
        received += pass;
        remaining -= pass;
    }
    *crc = sum;
    return received;
}

XmodemOutcome xmodem_receive(int fd, std::FILE* file) {
    Transfer t;
    flushRX(fd);
    putByte(CRC_MODE, fd);
    for (;;) {
        errorflag = 0;
        std::uint8_t c = 0;
        bool started = false;
        while (getByte(t.header_timeout, &c, fd) > 0) {
            if (starts_frame(c, t)) {
                started = true;
                break;
            }
        }
        if (!started) {
            t.start = 0;
            errorflag |= ERR_TIMEOUT;
        } else {
            t.start = c;
            if (c == EOT) {
                handle_eot(t, fd);
            } else if (c == CAN) {
                message("CAN\n");
                std::uint8_t second = 0;
                if (getByte(3, &second, fd) > 0 && (second & 0x7F) == CAN) {
                    // The sender gives up: so does the receiver.
                    t.cancel = true;
                } else {
                    errorflag |= ERR_LONE_CAN;
                }
            } else if (c == ACK) {
                errorflag |= ERR_EARLY_ACK;
            } else {
                handle_block(t, file, fd);
            }
        }
        if (errorflag != 0 && !t.cancel) {
            handle_error(t, fd);
        }
        if (t.start == EOT || t.cancel) {
            break;
        }
    }
    if (!t.cancel) {
        putByte(ACK, fd);
        write_messages();
        std::fputs("All done\n", stderr);
        return {t.total, false};
    }
    for (int i = 0; i < kCancels; ++i) {
        putByte(CAN, fd);
    }
    flushRX(fd);
    drain(2, fd);
    write_messages();
    return {t.total, true};
}

namespace {

// The line at the download speed, from init_serial on: switched back (reset_serial) and closed
// on every way out.
class DownloadLine {
public:
    DownloadLine() : fd_(init_serial()) {}
    DownloadLine(const DownloadLine&) = delete;
    DownloadLine& operator=(const DownloadLine&) = delete;
    ~DownloadLine() {
        if (fd_) {
            reset_serial(fd_.get());
        }
    }
    explicit operator bool() const noexcept { return static_cast<bool>(fd_); }
    int fd() const noexcept { return fd_.get(); }

private:
    base::UniqueFd fd_;
};

}  // namespace

int Xmodem1K(const char* filename) {
    base::File file;  // closed last, after the line
    XmodemOutcome outcome;
    {
        const DownloadLine line;
        if (!line) {
            return -1;
        }
        file.reset(std::fopen(filename, "wb"));
        if (!file) {
            std::perror("Can't open file!");
            return -1;
        }
        outcome = xmodem_receive(line.fd(), file.get());
    }
    // A file that does not close may have lost data, as a block that does not write.
    const bool closed = base::close_file(file);
    return outcome.cancelled || !closed ? 0 : outcome.bytes;
}
