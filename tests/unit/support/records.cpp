#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "crc/crc.hpp"
#include "image/byte_order.hpp"
#include "support.hpp"

namespace mp_test {

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    store_be32(std::span<std::uint8_t, 4>(b.data() + at, 4), v);
}

void seal(Bytes& record) {
    put32(record, 0,
          gen_crc(record.data() + 4, static_cast<std::uint32_t>(record.size() - 4), CRC_START));
}

Bytes make_record(const RecordSpec& spec) {
    Bytes r(spec.hdrlen != 0 ? spec.hdrlen : 16, 0x5A);
    put32(r, 4, spec.len.value_or(static_cast<std::uint32_t>(spec.payload.size())));
    put32(r, 8, spec.hdrlen != 0 ? spec.magic | 0x80000000u : spec.magic);
    put32(r, 12, spec.id);
    if (spec.hdrlen != 0) {
        store_be16(std::span<std::uint8_t, 2>(r.data() + 18, 2), spec.hdrlen);
    }
    r.insert(r.end(), spec.payload.begin(), spec.payload.end());
    if (spec.stored != 0) {
        r.resize(spec.stored);
    }
    seal(r);
    if (spec.bad_crc) {
        r[1] ^= 0x01;
    }
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

Bytes text_bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    return b;
}

Bytes erased(std::size_t n) {
    return Bytes(n, 0xFF);
}

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << path;
}

std::optional<Bytes> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string sys(std::string_view command) {
    return "{system:" + std::string(command) + "}";
}

std::string exec(std::string_view program) {
    return "{exec:" + std::string(program) + "}";
}

void note(std::string_view text) {
    std::fflush(stdout);
    static_cast<void>(::write(STDOUT_FILENO, text.data(), text.size()));
}

}  // namespace mp_test
