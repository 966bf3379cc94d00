// Record header view, invariant faults and the probe walk, on records built byte by byte (so
// the same bytes are tested on the big-endian board and on a little-endian host).
#include "image/record.hpp"
#include "crc/crc.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

Bytes rec(std::uint32_t magic, std::size_t len, std::uint16_t hdrlen = 0) {
    return make_record({.magic = magic, .payload = pattern(len, 1), .hdrlen = hdrlen});
}

Bytes raw_probe(std::uint32_t len, std::uint32_t magic, std::uint16_t hdrlen) {
    Bytes r(20, 0);
    put32(r, 4, len);
    put32(r, 8, magic);
    put32(r, 16, hdrlen);
    return r;
}

RecordHeader probe_of(const Bytes& b) {
    return parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(b.data(), 20));
}

struct Walked {
    std::vector<ProbedRecord> records;
    WalkResult end;
};

Walked walk(const Bytes& package) {
    Walked w;
    w.end = walk_records(std::span<const std::uint8_t>(package), [&](const ProbedRecord& r) {
        w.records.push_back(r);
        return true;
    });
    return w;
}

class RecordDisplay : public BoardTest {};

TEST(RecordHeader, PlainRecord) {
    const Bytes r = rec(IMAGE_DIAGS, 40);
    const RecordHeader h = probe_of(r);
    EXPECT_EQ(h.crc, gen_crc(r.data() + 4, static_cast<std::uint32_t>(r.size() - 4), CRC_START));
    EXPECT_EQ(h.len, 40u);
    EXPECT_EQ(h.magic, IMAGE_DIAGS);
    EXPECT_FALSE(h.extended());
    EXPECT_EQ(h.record_length(), 56u);
    EXPECT_EQ(h.payload(r).data(), r.data() + 16);
    EXPECT_EQ(h.payload(r).size(), 40u);
    EXPECT_EQ(version_string(h.id), "1.2.3.4");
    EXPECT_STREQ(record_type_name(h.type()), "diags");

    EXPECT_TRUE(record_intact(r));
    const std::span<const std::uint8_t> whole(r);
    EXPECT_FALSE(record_intact(whole.first(r.size() - 1)));
    EXPECT_FALSE(record_intact(concat({r, {0}})));
    EXPECT_TRUE(h.payload(whole.first(55)).empty());
    EXPECT_TRUE(record_intact(rec(IMAGE_RFS, 0)));  // 16 bytes, 12 under the CRC
}

TEST(RecordHeader, ExtendedKernelRecordAndItsReservedBytes) {
    const Bytes r = rec(IMAGE_KERNEL, 33, 28);
    const RecordHeader h = probe_of(r);
    EXPECT_TRUE(h.extended());
    EXPECT_EQ(h.type(), IMAGE_KERNEL);
    EXPECT_EQ(h.header_length(), 28u);
    EXPECT_EQ(h.record_length(), 61u);
    EXPECT_EQ(h.payload(r).data(), r.data() + 28);
    EXPECT_TRUE(record_intact(r));
    // Bytes 16..17 and 20..hdrlen-1 mean nothing to a reader but are covered by the CRC.
    for (const std::size_t at : {16, 17, 20, 27, 60}) {
        Bytes damaged = r;
        damaged[at] ^= 0x01;
        EXPECT_FALSE(record_intact(damaged)) << "byte " << at;
        EXPECT_EQ(probe_of(damaged).record_length(), 61u);
    }
}

TEST(RecordHeader, BootLoaderHeaderCopyAtPayloadByte240) {
    Bytes r = rec(IMAGE_BOOT, 300);
    std::copy_n(r.begin(), 16, r.begin() + 16 + BOOT_HEADER_COPY_OFFSET);
    const RecordHeader c = parse_header16(
        std::span<const std::uint8_t, 16>(r.data() + 16 + BOOT_HEADER_COPY_OFFSET, 16));
    EXPECT_EQ(c.len, 300u);
    EXPECT_EQ(c.magic, IMAGE_BOOT);
    EXPECT_EQ(c.id, kId);
    EXPECT_EQ(c.hdrlen, 0u);
}

TEST_F(RecordDisplay, FieldsInHexOnlyWhenAsked) {
    static const Bytes h = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 1, 0,
                            0x83, 0x50, 0x4F, 0x4C, 0, 0, 0, 0x0A};
    const Outcome o = run([] {
        display_header(h.data(), 1);
        display_header(h.data(), 0);
        display_header(h.data(), 0x100);
        return 0;
    });
    const std::string block =
        "  crc: 0xdeadbeef\n  len: 0x00000100\nmagic: 0x83504f4c\n   id: 0x0000000a\n";
    EXPECT_EQ(o.out, block + block);
}

TEST(RecordHeader, ClassifyEveryInvariantBreaker) {
    const std::uint32_t ext = IMAGE_KERNEL | RECORD_EXTENDED;
    const struct {
        std::uint32_t len, magic;
        std::uint16_t hdrlen;
        RecordFault fault;
    } cases[] = {
        {100, ext, 0, RecordFault::hdrlen_too_small},
        {0, ext, 0, RecordFault::hdrlen_too_small},
        {100, ext, 19, RecordFault::hdrlen_too_small},
        {100, ext, 20, RecordFault::none},
        {0xFFFFFFFFu - 20, ext, 20, RecordFault::none},
        {0xFFFFFFFFu - 19, ext, 20, RecordFault::zero_length},
        {0xFFFFFFFFu, ext, 20, RecordFault::length_wraps},
        {0xFFFF0001u, ext, 0xFFFF, RecordFault::zero_length},
        {0, IMAGE_KERNEL, 3, RecordFault::none},  // a plain header ignores bytes 18..19
        {0xFFFFFFEFu, IMAGE_KERNEL, 0, RecordFault::none},
        {0xFFFFFFF0u, IMAGE_KERNEL, 0, RecordFault::zero_length},
        {0xFFFFFFF1u, IMAGE_KERNEL, 0, RecordFault::length_wraps},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classify_record(probe_of(raw_probe(c.len, c.magic, c.hdrlen))), c.fault)
            << c.len << " " << c.magic << " " << c.hdrlen;
    }
    EXPECT_STRNE(record_fault_text(RecordFault::length_wraps),
                 record_fault_text(RecordFault::zero_length));
}

TEST(ProbeWalk, StepsByRecordLengthEvenOverRecordsShorterThanTheProbe) {
    const Bytes a = rec(IMAGE_BOOT, 300);
    const Bytes b = rec(IMAGE_KERNEL, 50, 40);
    const Bytes tiny = rec(IMAGE_DFT, 2);  // 18 bytes: its probe reaches into the next
    const Bytes d = rec(0x2A2A2A2Au, 10);  // unknown type
    const Walked w = walk(concat({a, b, tiny, d}));
    ASSERT_EQ(w.records.size(), 4u);
    EXPECT_EQ(w.records[1].offset, a.size());
    EXPECT_EQ(w.records[2].offset, a.size() + b.size());
    EXPECT_EQ(w.records[2].header.type(), IMAGE_DFT);
    EXPECT_EQ(w.records[3].offset, a.size() + b.size() + 18);
    EXPECT_EQ(w.records[3].header.type(), 0x2A2A2A2Au);
    EXPECT_EQ(w.end.end, WalkEnd::end_of_package);
    EXPECT_EQ(w.end.offset, a.size() + b.size() + 18 + d.size());
    EXPECT_EQ(w.end.tail, 0u);
}

TEST(ProbeWalk, HowWalksEnd) {
    const Bytes app = rec(IMAGE_APPLICATION, 64);
    const Walked short_last = walk(concat({app, rec(IMAGE_RFS, 0)}));
    EXPECT_EQ(short_last.records.size(), 1u);  // a final record shorter than 20 is not seen
    EXPECT_EQ(short_last.end.tail, 16u);
    EXPECT_EQ(walk(Bytes(19, 1)).records.size(), 0u);

    // Erased flash after the last record: extended, hdrlen 0xFFFF, len 0xFFFFFFFF.
    const Walked erased_tail = walk(concat({app, erased(20)}));
    ASSERT_EQ(erased_tail.records.size(), 2u);
    EXPECT_EQ(erased_tail.records[1].fault, RecordFault::length_wraps);
    EXPECT_EQ(erased_tail.end.end, WalkEnd::fault);
    EXPECT_EQ(erased_tail.end.offset, app.size());

    // hdrlen 0 and len 0 would keep a reader at one offset forever.
    const Walked stuck = walk(concat({app, raw_probe(0, IMAGE_KERNEL | RECORD_EXTENDED, 0), app}));
    ASSERT_EQ(stuck.records.size(), 2u);
    EXPECT_EQ(stuck.records[1].fault, RecordFault::hdrlen_too_small);
    EXPECT_EQ(stuck.end.end, WalkEnd::fault);

    const Walked huge = walk(concat({raw_probe(0xFFFFFF00u, IMAGE_KERNEL, 0), app}));
    EXPECT_EQ(huge.records.size(), 1u);
    EXPECT_EQ(huge.end.end, WalkEnd::end_of_package);
    EXPECT_EQ(huge.end.offset, 0xFFFFFF10u);

    int visits = 0;
    const WalkResult stopped = walk_records(std::span<const std::uint8_t>(concat({app, app, app})),
                                            [&](const ProbedRecord&) { return ++visits < 2; });
    EXPECT_EQ(visits, 2);
    EXPECT_EQ(stopped.end, WalkEnd::stopped);
    EXPECT_EQ(stopped.offset, app.size());
}

}  // namespace
}  // namespace mp_test
