// The record CRC against the bit-by-bit definition over every length and start alignment the
// word and braid paths treat differently, with split reads feeding the register back in.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "crc/crc.hpp"

namespace {

// LSB first, polynomial 0xEDB88320, no final inversion.
std::uint32_t reference(std::uint32_t reg, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n * 8; ++i) {
        reg = (((reg ^ (p[i / 8] >> (i % 8))) & 1u) != 0) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

TEST(Crc, MatchesDefinition) {
    std::vector<std::uint8_t> buf((1u << 16) + 27);
    std::uint32_t seed = 1;
    for (auto& b : buf) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    for (const std::uint32_t start : {CRC_START, 0x5A0F3C96u}) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            std::uint32_t want = start;
            for (std::uint32_t len = 0; len <= 600; ++len) {
                ASSERT_EQ(gen_crc(buf.data() + offset, len, start), want) << offset << " " << len;
                want = reference(want, buf.data() + offset + len, 1);
            }
        }
    }
    const auto n = static_cast<std::uint32_t>(buf.size());
    const std::uint32_t whole = reference(CRC_START, buf.data(), n);
    EXPECT_EQ(gen_crc(buf.data(), n, CRC_START), whole);
    for (const std::uint32_t split : {1u, 99u, 4099u}) {
        EXPECT_EQ(gen_crc(buf.data() + split, n - split, gen_crc(buf.data(), split, CRC_START)),
                  whole);
    }
    EXPECT_EQ(CheckCrc(buf.data(), n, whole), 0);
    EXPECT_EQ(CheckCrc(buf.data(), n, whole ^ 0x80000000u), 1);
    EXPECT_EQ(CheckCrc(buf.data(), n - 1, whole), 1);
}

}  // namespace
