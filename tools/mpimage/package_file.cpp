#include "package_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <semaphore>
#include <thread>

#include "crc/crc.hpp"

namespace mpimage {

void usage_error(const std::string& message) {
    throw Failure(EXIT_USAGE, message + " (try --help)");
}

void io_error(const std::string& path, const std::string& what) {
    throw Failure(EXIT_USAGE, path + ": " + what + ": " + std::strerror(errno));
}

InputFile::InputFile(const std::string& path)
    : path_(path), fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_.get() < 0) {
        io_error(path, "cannot open");
    }
    struct stat st {};
    if (::fstat(fd_.get(), &st) != 0) {
        io_error(path, "cannot stat");
    }
    if (!S_ISREG(st.st_mode)) {
        throw Failure(EXIT_USAGE, path + ": not a regular file");
    }
    source_ = image::FileSource(fd_.get(), static_cast<std::uint64_t>(st.st_size));
}

std::size_t InputFile::read_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
    const base::Transfer t = base::read_full(fd_.get(), out, offset);
    if (!t.ok()) {
        errno = t.error;
        io_error(path_, "read error at offset " + std::to_string(offset + t.done));
    }
    return t.done;
}

OutputFile::OutputFile(const std::string& path)
    : path_(path), file_(base::DurableFile::beside(path)) {
    if (!file_) {
        io_error(path, "cannot create a temporary file beside it");
    }
}

void OutputFile::write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    const base::Transfer t = file_.write(bytes, offset);
    if (!t.ok()) {
        errno = t.error;
        io_error(path_, "write error at offset " + std::to_string(offset + t.done));
    }
}

void OutputFile::write(std::span<const std::uint8_t> bytes) {
    write_at(position_, bytes);
    position_ += bytes.size();
}

void OutputFile::commit() {
    if (!file_.commit()) {
        const base::DurableFile::Step step = file_.failed();
        io_error(path_, step == base::DurableFile::Step::sync    ? "cannot flush"
                        : step == base::DurableFile::Step::close ? "cannot close"
                                                                 : "cannot rename the finished "
                                                                   "file into place");
    }
}

std::uint32_t crc_of_range(const InputFile& file, std::uint64_t offset, std::uint64_t length,
                           std::uint32_t start,
                           const std::function<void(std::span<const std::uint8_t>)>& sink) {
    // Two pieces in flight on a build server's cores: a reader thread fills one buffer while this
    // thread runs the CRC over the other, so the kernel's copy and the CRC overlap.
    constexpr std::size_t kInFlight = 2;
    std::array<image::AlignedBuffer, kInFlight> buffers{image::AlignedBuffer(CHUNK),
                                                        image::AlignedBuffer(CHUNK)};
    if (!buffers[0] || !buffers[1]) {
        throw Failure(EXIT_USAGE, file.path() + ": out of memory");
    }
    image::RangeReader reader(file.source(), offset, length, CHUNK);
    std::array<std::span<const std::uint8_t>, kInFlight> pieces;
    std::counting_semaphore<kInFlight> free_buffers(kInFlight);
    std::counting_semaphore<kInFlight> filled(0);
    std::atomic<bool> stop{false};
    std::thread reading([&] {
        for (std::size_t i = 0;; i = (i + 1) % kInFlight) {
            free_buffers.acquire();
            pieces[i] = stop ? std::span<const std::uint8_t>() : reader.next(buffers[i].data());
            filled.release();
            if (pieces[i].empty()) {
                return;
            }
        }
    });
    // Ends the reader on every way out, a sink that throws included.
    struct Join {
        std::thread& thread;
        std::atomic<bool>& stop;
        std::counting_semaphore<kInFlight>& free_buffers;
        ~Join() {
            stop = true;
            free_buffers.release();
            thread.join();
        }
    } join{reading, stop, free_buffers};

    std::uint32_t crc = start;
    std::uint64_t done = 0;
    for (std::size_t i = 0;; i = (i + 1) % kInFlight) {
        filled.acquire();
        const std::span<const std::uint8_t> piece = pieces[i];
        if (piece.empty()) {
            break;  // the reader has ended; this buffer's token goes back in ~Join
        }
        crc = gen_crc(piece.data(), static_cast<std::uint32_t>(piece.size()), crc);
        if (sink) {
            sink(piece);
        }
        done += piece.size();
        free_buffers.release();
    }
    if (reader.error() != 0) {
        errno = reader.error();
        io_error(file.path(), "read error at offset " + std::to_string(offset + done));
    }
    if (done != length) {
        throw Failure(EXIT_USAGE, file.path() + ": file shrank while being read (offset " +
                                      std::to_string(offset + done) + ")");
    }
    return crc;
}

std::optional<std::uint32_t> parse_number(const std::string& text) {
    std::uint32_t value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        first += 2;
        base = 16;
    }
    const auto [end, ec] = std::from_chars(first, last, value, base);
    if (ec != std::errc{} || end != last || first == last) {
        return std::nullopt;
    }
    return value;
}

std::string hex32(std::uint32_t value) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
    return text;
}

}  // namespace mpimage
