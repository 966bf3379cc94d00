// Big-endian field access: the one place where the board's on-flash byte order is handled.
// Records, the U-Boot environment and every other stored format go through these helpers;
// shifts give the same result on the big-endian board and on a little-endian workstation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr std::uint16_t load_be16(std::span<const std::uint8_t, 2> b) noexcept {
    return static_cast<std::uint16_t>(std::uint16_t{b[0]} << 8 | b[1]);
}

constexpr std::uint32_t load_be32(std::span<const std::uint8_t, 4> b) noexcept {
    return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}

constexpr void store_be16(std::span<std::uint8_t, 2> b, std::uint16_t v) noexcept {
    b[0] = static_cast<std::uint8_t>(v >> 8);
    b[1] = static_cast<std::uint8_t>(v);
}

constexpr void store_be32(std::span<std::uint8_t, 4> b, std::uint32_t v) noexcept {
    b[0] = static_cast<std::uint8_t>(v >> 24);
    b[1] = static_cast<std::uint8_t>(v >> 16);
    b[2] = static_cast<std::uint8_t>(v >> 8);
    b[3] = static_cast<std::uint8_t>(v);
}

// Field at byte `offset` of a buffer known to be long enough (callers check the length).
inline std::uint32_t be32_at(const std::uint8_t* p, std::size_t offset) noexcept {
    return load_be32(std::span<const std::uint8_t, 4>(p + offset, 4));
}
inline std::uint16_t be16_at(const std::uint8_t* p, std::size_t offset) noexcept {
    return load_be16(std::span<const std::uint8_t, 2>(p + offset, 2));
}

static_assert(load_be32(std::array<std::uint8_t, 4>{1, 0x50, 0x4F, 0x4C}) == 0x01504F4Cu);
static_assert(load_be16(std::array<std::uint8_t, 2>{0x01, 0x20}) == 0x0120u);
