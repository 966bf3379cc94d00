// The record CRC against the bitwise definition (LSB first, 0xEDB88320, no final inversion)
// over every length and alignment the word and braid paths treat differently.
#include <gtest/gtest.h>

#include <vector>

#include "crc/crc.hpp"

namespace {

std::uint32_t reference(std::uint32_t reg, std::uint8_t byte) {
    for (int i = 0; i < 8; ++i) {
        reg = ((reg ^ (byte >> i)) & 1u) != 0 ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

TEST(Crc, MatchesDefinition) {
    std::vector<std::uint8_t> buf((1u << 16) + 27);
    for (std::size_t i = 0; i < buf.size(); ++i) {
        buf[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    }
    for (const std::uint32_t start : {CRC_START, 0x5A0F3C96u}) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            std::uint32_t want = start;
            for (std::uint32_t len = 0; len <= 600; want = reference(want, buf[offset + len++])) {
                ASSERT_EQ(gen_crc(buf.data() + offset, len, start), want) << offset << " " << len;
            }
        }
    }
    // The whole buffer in two chained calls, and the check against it.
    const auto n = static_cast<std::uint32_t>(buf.size());
    std::uint32_t whole = CRC_START;
    for (const std::uint8_t b : buf) {
        whole = reference(whole, b);
    }
    EXPECT_EQ(gen_crc(buf.data() + 4099, n - 4099, gen_crc(buf.data(), 4099, CRC_START)), whole);
    EXPECT_EQ(CheckCrc(buf.data(), n, whole), 0);
    EXPECT_EQ(CheckCrc(buf.data(), n - 1, whole), 1);
}

}  // namespace
