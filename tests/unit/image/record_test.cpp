// Whole records (the walk and the header faults are the tool tests' and the fuzzers') and the
// installer's header trace.
#include "image/record.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

RecordHeader header(const Bytes& b) {
    return parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(b.data(), 20));
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
