#include "image/record.hpp"

#include <cstdio>

#include "base/byte_order.hpp"
#include "crc/crc.hpp"

std::span<const std::uint8_t> RecordHeader::payload(
    std::span<const std::uint8_t> record) const noexcept {
    const std::uint64_t start = header_length();
    if (start > record.size() || len > record.size() - start) {
        return {};
    }
    return record.subspan(start, len);
}

RecordHeader parse_header16(std::span<const std::uint8_t, RECORD_HEADER_SIZE> header) noexcept {
    RecordHeader h;
    h.crc = be32_at(header.data(), 0);
    h.len = be32_at(header.data(), 4);
    h.magic = be32_at(header.data(), 8);
    h.id = be32_at(header.data(), 12);
    return h;
}

RecordHeader parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE> probe) noexcept {
    RecordHeader h = parse_header16(probe.first<RECORD_HEADER_SIZE>());
    h.hdrlen = be16_at(probe.data(), 18);
    return h;
}

RecordFault classify_record(const RecordHeader& header) noexcept {
    if (header.extended() && header.hdrlen < MIN_EXTENDED_HDRLEN) {
        return RecordFault::hdrlen_too_small;
    }
    const std::uint64_t full = std::uint64_t{header.header_length()} + header.len;
    if (full == std::uint64_t{1} << 32) {
        return RecordFault::zero_length;
    }
    if (full > 0xFFFFFFFFu) {
        return RecordFault::length_wraps;
    }
    return RecordFault::none;
}

const char* record_fault_text(RecordFault fault) noexcept {
    switch (fault) {
        case RecordFault::none:
            return "sound";
        case RecordFault::hdrlen_too_small:
            return "extended header length below 20";
        case RecordFault::length_wraps:
            return "header length + len exceeds 32 bits";
        case RecordFault::zero_length:
            return "record length is 0";
    }
    return "unknown fault";
}

const char* record_type_name(std::uint32_t type) noexcept {
    switch (type) {
        case IMAGE_APPLICATION:
            return "application";
        case IMAGE_BOOT:
            return "boot";
        case IMAGE_KERNEL:
            return "kernel";
        case IMAGE_RFS:
            return "rfs";
        case IMAGE_DFT:
            return "dft";
        case IMAGE_DIAGS:
            return "diags";
        default:
            return "unknown";
    }
}

std::string version_string(std::uint32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(id >> 24),
                  static_cast<unsigned>((id >> 16) & 0xFFu),
                  static_cast<unsigned>((id >> 8) & 0xFFu), static_cast<unsigned>(id & 0xFFu));
    return text;
}

bool record_intact(std::span<const std::uint8_t> record) noexcept {
    if (record.size() < RECORD_HEADER_SIZE) {
        return false;
    }
    RecordHeader h = parse_header16(record.first<RECORD_HEADER_SIZE>());
    if (h.extended()) {
        if (record.size() < RECORD_PROBE_SIZE) {
            return false;
        }
        h.hdrlen = be16_at(record.data(), 18);
    }
    if (classify_record(h) != RecordFault::none || record.size() != h.record_length()) {
        return false;
    }
    return CheckCrc(record.data() + 4, h.record_length() - 4, h.crc) == 0;
}

void display_header(const std::uint8_t* header16, std::uint32_t on) {
    display_header(parse_header16(std::span<const std::uint8_t, RECORD_HEADER_SIZE>(
                       header16, RECORD_HEADER_SIZE)),
                   on);
}

void display_header(const RecordHeader& header, std::uint32_t on) {
    if (on == 0) {
        return;
    }
    std::printf("  crc: 0x%08x\n", static_cast<unsigned>(header.crc));
    std::printf("  len: 0x%08x\n", static_cast<unsigned>(header.len));
    std::printf("magic: 0x%08x\n", static_cast<unsigned>(header.magic));
    std::printf("   id: 0x%08x\n", static_cast<unsigned>(header.id));
}
