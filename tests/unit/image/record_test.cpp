// Record header faults and the probe walk, on records built byte by byte.
#include "image/record.hpp"
#include "crc/crc.hpp"
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
    const std::uint32_t ext = IMAGE_KERNEL | RECORD_EXTENDED;
    const struct {
        std::uint32_t len, magic;
        std::uint16_t hdrlen;
        RecordFault fault;
    } cases[] = {
        {100, ext, 19, RecordFault::hdrlen_too_small},
        {0, ext, 0, RecordFault::hdrlen_too_small},
        {100, ext, 20, RecordFault::none},
        {0xFFFFFFEBu, ext, 20, RecordFault::none},
        {0xFFFFFFECu, ext, 20, RecordFault::zero_length},
        {0xFFFFFFFFu, ext, 20, RecordFault::length_wraps},
        {0xFFFF0001u, ext, 0xFFFF, RecordFault::zero_length},
        {0, IMAGE_KERNEL, 3, RecordFault::none},  // a plain header ignores bytes 18..19
        {0xFFFFFFEFu, IMAGE_KERNEL, 0, RecordFault::none},
        {0xFFFFFFF0u, IMAGE_KERNEL, 0, RecordFault::zero_length},
        {0xFFFFFFF1u, IMAGE_KERNEL, 0, RecordFault::length_wraps},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify_record(header(probe(c.len, c.magic, c.hdrlen))), c.fault)
            << c.len << " " << c.magic << " " << c.hdrlen;
    }
}

TEST(Record, IntactAndPayload) {
    const Bytes r = make_record({.magic = IMAGE_KERNEL, .payload = pattern(33, 1), .hdrlen = 28});
    const RecordHeader h = header(r);
    EXPECT_EQ(h.record_length(), 61u);
    EXPECT_EQ(h.payload(r).data(), r.data() + 28);
    EXPECT_TRUE(h.payload(std::span<const std::uint8_t>(r).first(60)).empty());
    EXPECT_TRUE(record_intact(r));
    EXPECT_TRUE(record_intact(make_record({.magic = IMAGE_RFS, .payload = {}})));
    EXPECT_FALSE(record_intact(concat({r, {0}})));
    for (const std::size_t at : {4, 17, 20, 60}) {  // reserved bytes are under the CRC too
        Bytes damaged = r;
        damaged[at] ^= 1;
        EXPECT_FALSE(record_intact(damaged)) << at;
    }
}

TEST(Record, WalkStepsAndEnds) {
    const Bytes app = make_record({.magic = IMAGE_APPLICATION, .payload = pattern(64, 2)});
    const Bytes tiny = make_record({.magic = IMAGE_DFT, .payload = {1, 2}});  // 18 bytes
    const struct {
        Bytes package;
        std::vector<std::uint64_t> offsets;
        WalkEnd end;
        std::uint64_t at;
    } cases[] = {
        {concat({app, tiny, app}), {0, 80, 98}, WalkEnd::end_of_package, 178},
        {concat({app, erased(20)}), {0, 80}, WalkEnd::fault, 80},
        {concat({app, probe(0, IMAGE_KERNEL | RECORD_EXTENDED, 0), app}),
         {0, 80},
         WalkEnd::fault,
         80},
        {concat({probe(0xFFFFFF00u, IMAGE_KERNEL, 0), app}),
         {0},
         WalkEnd::end_of_package,
         0xFFFFFF10u},
        {Bytes(19, 1), {}, WalkEnd::end_of_package, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::uint64_t> seen;
        const WalkResult w =
            walk_records(std::span<const std::uint8_t>(c.package), [&](const ProbedRecord& r) {
                seen.push_back(r.offset);
                return true;
            });
        EXPECT_EQ(seen, c.offsets);
        EXPECT_EQ(w.end, c.end);
        EXPECT_EQ(w.offset, c.at);
    }
    int visits = 0;
    const WalkResult stopped = walk_records(std::span<const std::uint8_t>(concat({app, app})),
                                            [&](const ProbedRecord&) { return ++visits < 1; });
    EXPECT_EQ(stopped.end, WalkEnd::stopped);
}

}  // namespace
}  // namespace mp_test
