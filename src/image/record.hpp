// Image records: the header view every reader of packages, slot files and flash partitions uses.
//
// A record is a big-endian header (crc, len, magic, id, and for an extended header a length field
// at bytes 18..19) followed by `len` payload bytes; records sit back to back in a package. Readers
// take a 20-byte probe at each record start, step by the record length and stop when fewer than
// 20 bytes remain. Lengths are 32-bit, as on the board.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

inline constexpr std::uint32_t RECORD_EXTENDED = 0x80000000u;

inline constexpr std::uint32_t IMAGE_APPLICATION = 0x01504F4Cu;
inline constexpr std::uint32_t IMAGE_BOOT = 0x02504F4Cu;
inline constexpr std::uint32_t IMAGE_KERNEL = 0x03504F4Cu;
inline constexpr std::uint32_t IMAGE_RFS = 0x04504F4Cu;
inline constexpr std::uint32_t IMAGE_DFT = 0x05504F4Cu;
inline constexpr std::uint32_t IMAGE_DIAGS = 0x06504F4Cu;

inline constexpr std::size_t RECORD_HEADER_SIZE = 16;  // crc, len, magic, id
inline constexpr std::size_t RECORD_PROBE_SIZE = 20;   // header plus the word holding hdrlen
inline constexpr std::uint32_t MIN_EXTENDED_HDRLEN = 20;

// The boot loader carries a copy of its own 16-byte record header at this payload offset; the
// installed-version check reads it back from the boot-loader partition.
inline constexpr std::uint32_t BOOT_HEADER_COPY_OFFSET = 240;

struct RecordHeader {
    std::uint32_t crc = 0;
    std::uint32_t len = 0;
    std::uint32_t magic = 0;
    std::uint32_t id = 0;
    std::uint16_t hdrlen = 0;  // bytes 18..19 of the probe; used only when extended()

    constexpr bool extended() const noexcept { return (magic & RECORD_EXTENDED) != 0; }
    constexpr std::uint32_t type() const noexcept { return magic & ~RECORD_EXTENDED; }
    constexpr std::uint32_t header_length() const noexcept {
        return extended() ? hdrlen : static_cast<std::uint32_t>(RECORD_HEADER_SIZE);
    }
    // 32-bit, as every reader computes it: wraps for hostile lengths (see classify_record).
    constexpr std::uint32_t record_length() const noexcept { return header_length() + len; }

    // The payload inside a buffer holding the whole record from its first byte; empty when the
    // buffer is too short to hold it.
    std::span<const std::uint8_t> payload(std::span<const std::uint8_t> record) const noexcept;
};

// The record header under the name the launcher's and installer's routines give it.
using image_header = RecordHeader;

// The 20-byte probe taken at a record start.
RecordHeader parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE> probe) noexcept;
// A bare 16-byte header (a stored header, the boot loader's copy): hdrlen stays 0.
RecordHeader parse_header16(std::span<const std::uint8_t, RECORD_HEADER_SIZE> header) noexcept;

// Records whose lengths break the format. None of them can be read as a record: a walk that took
// them at face value would loop at one offset, step backwards or allocate a wrapped size. Every
// reader treats them like a damaged record (CRC mismatch) and ends its walk there.
enum class RecordFault : std::uint8_t {
    none,
    hdrlen_too_small,  // extended header whose hdrlen (< 20) does not even cover hdrlen itself
    length_wraps,      // hdrlen + len exceeds 32 bits: the record length is below the header length
    zero_length,       // hdrlen + len is exactly 2^32: the record length is 0
};

RecordFault classify_record(const RecordHeader& header) noexcept;
// Short English text for a fault, for messages ("extended header length below 20", ...).
const char* record_fault_text(RecordFault fault) noexcept;

// "application", "boot", "kernel", "rfs", "dft", "diags" or "unknown", by record type.
const char* record_type_name(std::uint32_t type) noexcept;

// "a.b.c.d", most significant byte first.
std::string version_string(std::uint32_t id);

// True when `record` holds exactly one whole record that classifies as sound and whose CRC-32
// over bytes 4..end equals its crc field.
bool record_intact(std::span<const std::uint8_t> record) noexcept;

// The four header fields on standard output when `on` is non-zero; nothing otherwise.
void display_header(const std::uint8_t* header16, std::uint32_t on);
void display_header(const RecordHeader& header, std::uint32_t on);

// One step of the probe walk.
struct ProbedRecord {
    std::uint64_t offset = 0;  // of the record's first byte in the package
    RecordHeader header;
    RecordFault fault = RecordFault::none;
};

enum class WalkEnd : std::uint8_t {
    end_of_package,  // the last probe found fewer than 20 bytes (maybe none)
    fault,           // a record broke the format; it was visited, the walk ends there
    stopped,         // the visitor asked to stop
};

struct WalkResult {
    WalkEnd end = WalkEnd::end_of_package;
    std::uint64_t offset = 0;  // where the walk ended: the short tail, faulty or stopping record
    std::size_t tail = 0;      // bytes of the failed probe (0..19) at end_of_package
};

// The probe walk. `read_probe(offset, span<uint8_t, 20>)` fills the probe from package offset
// `offset` and returns how many bytes it got (fewer than 20 ends the walk). `visit(const
// ProbedRecord&)` returns false to stop. The next probe is taken at offset + record length.
// (image/record_reader.hpp walks a ByteSource with it.)
template <class ReadProbe, class Visit>
WalkResult walk_records(ReadProbe&& read_probe, Visit&& visit) {
    std::uint64_t offset = 0;
    for (;;) {
        std::uint8_t probe[RECORD_PROBE_SIZE] = {};
        const std::size_t got =
            read_probe(offset, std::span<std::uint8_t, RECORD_PROBE_SIZE>(probe));
        if (got < RECORD_PROBE_SIZE) {
            return {WalkEnd::end_of_package, offset, got};
        }
        ProbedRecord rec;
        rec.offset = offset;
        rec.header = parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(probe));
        rec.fault = classify_record(rec.header);
        if (!visit(static_cast<const ProbedRecord&>(rec))) {
            return {WalkEnd::stopped, offset, 0};
        }
        if (rec.fault != RecordFault::none) {
            return {WalkEnd::fault, offset, 0};
        }
        offset += rec.header.record_length();
    }
}
