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
std::uint32_t reference_step(std::uint32_t reg, std::uint8_t byte) {
    for (int bit = 0; bit < 8; ++bit) {
        const bool mix = ((reg ^ (byte >> bit)) & 1u) != 0;
        reg = mix ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

std::uint32_t reference_crc(const std::uint8_t* p, std::size_t n, std::uint32_t start) {
    for (std::size_t i = 0; i < n; ++i) {
        start = reference_step(start, p[i]);
    }
    return start;
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

constexpr std::array<std::uint8_t, 9> CHECK_STRING = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};

TEST(GenCrc, CheckStringAndEmptyInput) {
    EXPECT_EQ(gen_crc(CHECK_STRING.data(), 9, CRC_START), 0x340BC6D9u);
    EXPECT_EQ(gen_crc(CHECK_STRING.data(), 0, CRC_START), 0xFFFFFFFFu);
    EXPECT_EQ(gen_crc(nullptr, 0, 0x12345678u), 0x12345678u);
}

TEST(CheckCrc, ZeroOnlyForTheExactValue) {
    EXPECT_EQ(CheckCrc(CHECK_STRING.data(), 9, 0x340BC6D9u), 0);
    for (int bit = 0; bit < 32; ++bit) {
        EXPECT_EQ(CheckCrc(CHECK_STRING.data(), 9, 0x340BC6D9u ^ (1u << bit)), 1) << bit;
    }
    EXPECT_EQ(CheckCrc(CHECK_STRING.data(), 0, 0xFFFFFFFFu), 0);
    EXPECT_EQ(CheckCrc(CHECK_STRING.data(), 8, 0x340BC6D9u), 1);
}

// Every single-bit fault in a record body is caught: the case of a flash bit gone bad.
TEST(CheckCrc, EverySingleBitFlipFails) {
    std::vector<std::uint8_t> record = noise(300, 7);
    const std::uint32_t good = gen_crc(record.data(), 300, CRC_START);
    for (std::size_t i = 0; i < record.size() * 8; ++i) {
        record[i / 8] ^= static_cast<std::uint8_t>(1u << (i % 8));
        EXPECT_EQ(CheckCrc(record.data(), 300, good), 1) << "bit " << i;
        record[i / 8] ^= static_cast<std::uint8_t>(1u << (i % 8));
    }
    EXPECT_EQ(CheckCrc(record.data(), 300, good), 0);
}

// Lengths 0..1100 cover the byte, word and braided paths and every tail; offsets 0..15 every
// misalignment of the start. Three start values, since split reads feed any register back in.
TEST(GenCrc, MatchesDefinitionAtEveryLengthAndAlignment) {
    constexpr std::size_t MAX_LEN = 1100;
    constexpr std::size_t OFFSETS = 16;
    alignas(16) std::array<std::uint8_t, MAX_LEN + OFFSETS> buf{};
    const std::vector<std::uint8_t> bytes = noise(buf.size(), 1);
    std::copy(bytes.begin(), bytes.end(), buf.begin());

    for (const std::uint32_t start : {CRC_START, 0u, 0x5A0F3C96u}) {
        for (std::size_t offset = 0; offset < OFFSETS; ++offset) {
            const std::uint8_t* p = buf.data() + offset;
            std::uint32_t want = start;
            for (std::size_t len = 0; len <= MAX_LEN; ++len) {
                ASSERT_EQ(gen_crc(p, static_cast<std::uint32_t>(len), start), want)
                    << "start " << start << " offset " << offset << " length " << len;
                if (len < MAX_LEN) {
                    want = reference_step(want, p[len]);
                }
            }
        }
    }
}

TEST(GenCrc, ContinuesFromAReturnedValueAtEverySplit) {
    for (const std::size_t n : {1u, 41u, 333u, 1100u, 4099u}) {
        const std::vector<std::uint8_t> buf = noise(n, static_cast<std::uint32_t>(n));
        const auto len = static_cast<std::uint32_t>(n);
        const std::uint32_t whole = gen_crc(buf.data(), len, CRC_START);
        ASSERT_EQ(whole, reference_crc(buf.data(), n, CRC_START));
        for (std::uint32_t split = 0; split <= len; ++split) {
            const std::uint32_t head = gen_crc(buf.data(), split, CRC_START);
            ASSERT_EQ(gen_crc(buf.data() + split, len - split, head), whole)
                << "length " << n << " split at " << split;
        }
    }
}

// Records are megabytes long: the braided loop over many rows against the definition.
TEST(GenCrc, LongBufferMatchesDefinition) {
    const std::vector<std::uint8_t> buf = noise((1u << 18) + 27, 99);
    const auto len = static_cast<std::uint32_t>(buf.size());
    EXPECT_EQ(gen_crc(buf.data(), len, CRC_START),
              reference_crc(buf.data(), buf.size(), CRC_START));
}

}  // namespace
