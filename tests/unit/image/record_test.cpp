// Record header faults at their boundaries, the probe walk, and the installer's header trace.
#include "image/record.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

Bytes probe(std::uint32_t len, std::uint32_t magic, std::uint16_t hdrlen) {
    Bytes r(20, 0);
    put32(r, 4, len);
    put32(r, 8, magic);
    put32(r, 16, hdrlen);
    return r;
}
RecordHeader header(const Bytes& b) {
    return parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(b.data(), 20));
}

TEST(Record, ClassifyFaults) {
    using enum RecordFault;
    const std::uint32_t ext = IMAGE_KERNEL | RECORD_EXTENDED, plain = IMAGE_KERNEL;
    const struct {
        std::uint32_t len, magic;
        std::uint16_t hdrlen;
        RecordFault fault;
    } cases[] = {{100, ext, 19, hdrlen_too_small},
                 {0xFFFFFFEBu, ext, 20, none},
                 {0xFFFFFFECu, ext, 20, zero_length},
                 {0xFFFFFFFFu, ext, 20, length_wraps},
                 {0, plain, 3, none},
                 {0xFFFFFFEFu, plain, 0, none},
                 {0xFFFFFFF1u, plain, 0, length_wraps}};
    for (const auto& c : cases) {
        EXPECT_EQ(classify_record(header(probe(c.len, c.magic, c.hdrlen))), c.fault) << c.len;
    }
}

TEST(Record, IntactAndPayload) {
    const Bytes r = make_record({.magic = IMAGE_KERNEL, .payload = pattern(33, 1), .hdrlen = 28});
    EXPECT_EQ(header(r).payload(r).data(), r.data() + 28);
    EXPECT_EQ(header(r).payload(r).size(), 33u);
    EXPECT_TRUE(header(r).payload(std::span<const std::uint8_t>(r).first(60)).empty());
    EXPECT_TRUE(record_intact(r));
    EXPECT_TRUE(record_intact(make_record({.magic = IMAGE_RFS, .payload = {}, .hdrlen = 20})));
    EXPECT_FALSE(record_intact(concat({r, {0}})));
    Bytes damaged = r;
    damaged[17] ^= 1;  // reserved bytes are under the CRC too
    EXPECT_FALSE(record_intact(damaged));
}

TEST(Record, WalkStepsAndEnds) {
    const Bytes app = make_record({.magic = IMAGE_APPLICATION, .payload = pattern(64, 2)});
    const Bytes tiny = make_record({.magic = IMAGE_DFT, .payload = {1, 2}});  // 18 bytes
    const struct {
        Bytes package;
        std::vector<std::uint64_t> offsets;
        WalkEnd end;
        std::uint64_t at;
    } cases[] = {{concat({app, tiny, app}), {0, 80, 98}, WalkEnd::end_of_package, 178},
                 {concat({probe(0xFFFFFF00u, IMAGE_KERNEL, 0), app}),
                  {0},
                  WalkEnd::end_of_package,
                  0xFFFFFF10u},
                 {concat({app, app}), {0}, WalkEnd::stopped, 0}};
    for (const auto& c : cases) {
        std::vector<std::uint64_t> seen;
        const WalkResult w =
            walk_records(std::span<const std::uint8_t>(c.package), [&](const auto& r) {
                seen.push_back(r.offset);
                return c.end != WalkEnd::stopped;
            });
        EXPECT_EQ(seen, c.offsets);
        EXPECT_EQ(w.end, c.end);
        EXPECT_EQ(w.offset, c.at);
    }
}

// The installer's verbose trace of each header: the four words in hex, nothing when off.
using RecordDisplay = BoardTest;
TEST_F(RecordDisplay, OnlyWhenAsked) {
    static const Bytes h = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 1, 0,
                            0x83, 0x50, 0x4F, 0x4C, 0, 0, 0, 10};
    const Outcome o =
        run([] { return display_header(h.data(), 0), display_header(h.data(), 2), 0; });
    EXPECT_EQ(o.out,
              "  crc: 0xdeadbeef\n  len: 0x00000100\nmagic: 0x83504f4c\n   id: 0x0000000a\n");
}

}  // namespace
}  // namespace mp_test
