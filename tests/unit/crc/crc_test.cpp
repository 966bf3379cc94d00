// The record CRC against the bit-by-bit definition, over every length and start alignment that
// the word and braid paths treat differently. The data is made byte by byte, so the board
// (big-endian, under qemu) and the workstation check the same bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "crc/crc.hpp"

namespace {

// The definition: LSB first, polynomial 0xEDB88320, no final inversion.
std::uint32_t reference(std::uint32_t reg, const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n * 8; ++i) {
        reg = (((reg ^ (p[i / 8] >> (i % 8))) & 1u) != 0) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

// Pseudo-random bytes, every value 0..255 among them.
std::vector<std::uint8_t> noise(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> out(n);
    for (auto& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return out;
}

TEST(Crc, CheckStringAndCheckCrcVerdicts) {
    const std::uint8_t* text = reinterpret_cast<const std::uint8_t*>("123456789");
    EXPECT_EQ(gen_crc(text, 9, CRC_START), 0x340BC6D9u);
    EXPECT_EQ(gen_crc(nullptr, 0, 0x12345678u), 0x12345678u);
    EXPECT_EQ(CheckCrc(text, 9, 0x340BC6D9u), 0);
    for (int bit = 0; bit < 32; ++bit) {
        EXPECT_EQ(CheckCrc(text, 9, 0x340BC6D9u ^ (1u << bit)), 1) << bit;
    }
    EXPECT_EQ(CheckCrc(text, 0, 0xFFFFFFFFu), 0);
    EXPECT_EQ(CheckCrc(text, 8, 0x340BC6D9u), 1);
}

// Lengths 0..1100 cover the byte, word and braided paths and every tail; offsets 0..15 every
// misalignment of the start. Three start values, since split reads feed any register back in.
TEST(Crc, MatchesDefinitionAtEveryLengthAndAlignment) {
    constexpr std::size_t kMaxLen = 1100;
    constexpr std::size_t kOffsets = 16;
    alignas(16) std::array<std::uint8_t, kMaxLen + kOffsets> buf{};
    const std::vector<std::uint8_t> bytes = noise(buf.size(), 1);
    std::copy(bytes.begin(), bytes.end(), buf.begin());
    for (const std::uint32_t start : {CRC_START, 0u, 0x5A0F3C96u}) {
        for (std::size_t offset = 0; offset < kOffsets; ++offset) {
            const std::uint8_t* p = buf.data() + offset;
            std::uint32_t want = start;
            for (std::size_t len = 0; len <= kMaxLen; ++len) {
                ASSERT_EQ(gen_crc(p, static_cast<std::uint32_t>(len), start), want)
                    << "start " << start << " offset " << offset << " length " << len;
                want = reference(want, p + len, len < kMaxLen ? 1 : 0);
            }
        }
    }
}

// Records are megabytes long and read in pieces: the braided loop over many rows, and a
// returned value fed back in at every split.
TEST(Crc, LongBuffersAndSplitReads) {
    const std::vector<std::uint8_t> big = noise((1u << 18) + 27, 99);
    EXPECT_EQ(gen_crc(big.data(), static_cast<std::uint32_t>(big.size()), CRC_START),
              reference(CRC_START, big.data(), big.size()));
    const auto len = std::uint32_t{4099};
    const std::uint32_t whole = reference(CRC_START, big.data(), len);
    for (std::uint32_t split = 0; split <= len; ++split) {
        const std::uint32_t head = gen_crc(big.data(), split, CRC_START);
        ASSERT_EQ(gen_crc(big.data() + split, len - split, head), whole) << "split at " << split;
    }
}

}  // namespace
