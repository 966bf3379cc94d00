// CRC-32 of image records: the one CRC implementation of the system.
//
// Reflected CRC-32, polynomial 0xEDB88320, LSB first, no final inversion, so a returned value
// can be fed back as the start value to continue over further bytes. Every caller starts from
// 0xFFFFFFFF. The result is the bitwise complement of zlib's crc32() of the same bytes.
#pragma once

#include <cstdint>

inline constexpr std::uint32_t CRC_START = 0xFFFFFFFFu;

// Runs the CRC register from `start` over `len` bytes at `data` and returns the register.
std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t len, std::uint32_t start);

// 0 when gen_crc(data, len, 0xFFFFFFFF) equals `expected`, 1 otherwise.
int CheckCrc(const std::uint8_t* data, std::uint32_t len, std::uint32_t expected);
