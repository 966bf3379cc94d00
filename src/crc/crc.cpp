// CRC-32 of image records, table driven.
//
// Records run from a few hundred bytes (device tree) to tens of megabytes (root filesystem,
// application tarball), and every boot checks a whole application record before anything can
// start, so the bulk loop is what counts. It is a braided slicing-by-4:
//
// - The data is taken as rows of BRAIDS little-endian 32-bit words; word i of every row belongs
//   to braid i. Each braid has its own register, so the table-lookup chains of the braids are
//   independent and the core overlaps them instead of waiting on one chain of loads.
// - A braid's register is folded into the first bytes of its word in the next row. Its tables
//   therefore carry each byte across the rest of the row: byte k of a word is followed by
//   4 * BRAIDS - 1 - k zero bytes, which skips the words of the other braids.
// - The last row joins the braids into one register with the plain slicing-by-4 tables, which
//   also serve short buffers and the tail.
//
// Table size: two sets of 4 x 256 words, 8 KiB, of which only the 4 KiB braid set is hot in the
// bulk loop. The board's e500 core has a 32 KiB L1 data cache, and the record being checked
// streams through it as well. Slicing-by-8 or -by-16 would hold 8 or 16 KiB hot and still cost
// one table load per byte, which is what bounds a core that issues one load per cycle; they
// also leave a single dependency chain, where the braids keep five short ones in flight.
// BRAIDS = 5 is the fewest that kept the workstation (AMD, out of order) from waiting on load
// latency: 4 braids ran at 0.9x of zlib's crc32, 5 to 8 braids at 1.0x to 1.05x, all near 3.2
// instructions per byte; the board has registers for all of them.
//
// Words are assembled from bytes with shifts: compilers turn that into one little-endian load
// on the workstation and into one byte-reversed load (lwbrx) on the big-endian board.
#include "crc/crc.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace {

constexpr std::uint32_t POLY = 0xEDB88320u;  // reflected CRC-32
constexpr std::size_t BRAIDS = 5;
constexpr std::size_t WORD = 4;
constexpr std::size_t ROW = BRAIDS * WORD;

using Table = std::array<std::uint32_t, 256>;
using WordTables = std::array<Table, WORD>;

// Register after the single byte b, starting from 0: eight steps of the bit-by-bit definition.
constexpr Table byte_table() {
    Table t{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t r = b;
        for (int bit = 0; bit < 8; ++bit) {
            r = (r & 1u) != 0 ? (r >> 1) ^ POLY : r >> 1;
        }
        t[b] = r;
    }
    return t;
}

// Tables for a word that is followed by `trailing` zero bytes: entry [k][b] is the register,
// from 0, after byte b at position k of the word, the rest of the word as zeros and then the
// `trailing` zeros.
constexpr WordTables word_tables(std::size_t trailing) {
    const Table t0 = byte_table();
    const std::size_t zeros_max = WORD - 1 + trailing;
    WordTables out{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t r = t0[b];
        for (std::size_t zeros = 0; zeros <= zeros_max; ++zeros) {
            if (zeros >= trailing) {
                out[zeros_max - zeros][b] = r;
            }
            r = (r >> 8) ^ t0[r & 0xFFu];
        }
    }
    return out;
}

constexpr WordTables SLICE = word_tables(0);
constexpr WordTables BRAID = word_tables(ROW - WORD);

static_assert(SLICE[WORD - 1][1] == 0x77073096u, "not the table of the reflected CRC-32");
static_assert(SLICE[WORD - 1][128] == POLY);

std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

// One word through a table set. The word is widened to size_t before it is taken apart: on the
// 64-bit workstation that spares the compiler a zero-extension per lookup.
std::uint32_t fold_word(std::uint32_t word, const WordTables& t) noexcept {
    const std::size_t w = word;
    return (t[0][w & 0xFFu] ^ t[1][(w >> 8) & 0xFFu]) ^ (t[2][(w >> 16) & 0xFFu] ^ t[3][w >> 24]);
}

std::uint32_t fold_byte(std::uint32_t crc, std::uint8_t byte) noexcept {
    return (crc >> 8) ^ SLICE[WORD - 1][(crc ^ byte) & 0xFFu];
}

// `rows` (two or more) whole rows from p; returns the register after them and moves p past
// them. The loops over the braids are unrolled so that every braid register stays in a machine
// register: left rolled, the compiler keeps them in memory and the loop runs at half speed.
std::uint32_t braided_rows(const std::uint8_t*& p, std::size_t rows, std::uint32_t crc) noexcept {
    std::array<std::uint32_t, BRAIDS> c{};
    c[0] = crc;
    for (std::size_t r = 1; r < rows; ++r) {
#pragma GCC unroll 8
        for (std::size_t i = 0; i < BRAIDS; ++i) {
            c[i] = fold_word(load_le32(p + WORD * i) ^ c[i], BRAID);
        }
        p += ROW;
    }
    crc = 0;
#pragma GCC unroll 8
    for (std::size_t i = 0; i < BRAIDS; ++i) {
        crc = fold_word(load_le32(p + WORD * i) ^ c[i] ^ crc, SLICE);
    }
    p += ROW;
    return crc;
}

}  // namespace

std::uint32_t gen_crc(const std::uint8_t* data, std::uint32_t len, std::uint32_t start) {
    std::uint32_t crc = start;
    const std::uint8_t* p = data;
    std::size_t n = len;

    // Aligned word loads are the cheap ones on the board; a record may start at any offset of
    // a package.
    while (n != 0 && (reinterpret_cast<std::uintptr_t>(p) & (WORD - 1)) != 0) {
        crc = fold_byte(crc, *p++);
        --n;
    }
    if (n >= 2 * ROW) {
        const std::size_t rows = n / ROW;
        crc = braided_rows(p, rows, crc);
        n -= rows * ROW;
    }
    for (; n >= WORD; n -= WORD, p += WORD) {
        crc = fold_word(load_le32(p) ^ crc, SLICE);
    }
    for (; n != 0; --n) {
        crc = fold_byte(crc, *p++);
    }
    return crc;
}

int CheckCrc(const std::uint8_t* data, std::uint32_t len, std::uint32_t expected) {
    return gen_crc(data, len, CRC_START) == expected ? 0 : 1;
}
