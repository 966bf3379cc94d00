// Image records as the host tools write them: the header, then the payload, the CRC-32 over both
// (from byte 4 of the header) stored in the first four bytes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace host_tools {

// The header of a record of `len` payload bytes: crc 0 (the writer fills it in last), len, magic
// and id big-endian, and for an extended header (magic bit 31) its length at bytes 18..19 with
// zeros up to `header_length`.
std::vector<std::uint8_t> record_header(std::uint32_t magic, std::uint32_t id, std::uint32_t len,
                                        std::uint32_t header_length);

// Stores `crc` in the first four bytes of a record (or of its header).
void store_record_crc(std::span<std::uint8_t> record, std::uint32_t crc);

// A whole record with a plain 16-byte header; a payload too long for the 32-bit len throws
// std::length_error.
std::vector<std::uint8_t> make_record(std::uint32_t magic, std::uint32_t id,
                                      std::span<const std::uint8_t> payload);

}  // namespace host_tools
