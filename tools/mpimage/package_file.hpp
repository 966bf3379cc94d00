// Files and failures of the mpimage commands.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "base/durable_file.hpp"
#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "common/tool_failure.hpp"
#include "image/record_reader.hpp"

namespace mpimage {

// Exit statuses that release pipelines test.
inline constexpr int EXIT_GOOD = 0;
inline constexpr int EXIT_DAMAGED = 1;  // a damaged record, a failed verification
inline constexpr int EXIT_USAGE = 2;    // bad command line, unreadable or unwritable file

using host_tools::Failure;

[[noreturn]] void usage_error(const std::string& message);
[[noreturn]] void io_error(const std::string& path, const std::string& what);

// A regular file opened for reading with positional reads; the descriptor is closed on every path.
class InputFile {
public:
    explicit InputFile(const std::string& path);

    const std::string& path() const noexcept { return path_; }
    std::uint64_t size() const noexcept { return source_.size(); }
    // The file as a record source, for the record reader.
    const image::FileSource& source() const noexcept { return source_; }
    // Reads up to out.size() bytes at `offset`; fewer only at the end of the file.
    std::size_t read_at(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
    std::string path_;
    base::UniqueFd fd_;
    image::FileSource source_{-1, 0};
};

// An output written under a temporary name in the same directory and renamed into place by
// commit(), so a failed run never leaves a half-written package or payload under the real name.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);

    void write(std::span<const std::uint8_t> bytes);
    void write_at(std::uint64_t offset, std::span<const std::uint8_t> bytes);
    std::uint64_t position() const noexcept { return position_; }
    void commit();

private:
    std::string path_;
    base::DurableFile file_;
    std::uint64_t position_ = 0;
};

// Chunk size of every streamed copy and CRC: records of any size pass through this much memory.
// Small enough that a piece the kernel has just copied is still in the core's L2 cache when the
// CRC reads it (a 1 MiB piece is not, on the 512 KiB L2 of this workstation's cores).
inline constexpr std::size_t CHUNK = std::size_t{256} << 10;

// Streams `length` bytes of `file` from `offset` to `sink` in chunks (the record reader's aligned
// pieces) and returns their gen_crc continued from `start`. A read error or a file that ends
// early is a Failure.
std::uint32_t crc_of_range(const InputFile& file, std::uint64_t offset, std::uint64_t length,
                           std::uint32_t start,
                           const std::function<void(std::span<const std::uint8_t>)>& sink = {});

std::string hex32(std::uint32_t value);

// A 32-bit number in decimal or with 0x in hexadecimal, and nothing else; nullopt otherwise.
std::optional<std::uint32_t> parse_number(const std::string& text);

}  // namespace mpimage
