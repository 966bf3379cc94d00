// Record header view, invariant faults and the probe walk, on packages built byte by byte here
// (so the same bytes are tested on the big-endian board and on a little-endian host).

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image/record.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes& b, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        b.push_back(static_cast<std::uint8_t>(v >> shift));
    }
}

// Bit-by-bit CRC register, so the records under test do not depend on the code that reads them.
std::uint32_t reference_crc(const std::uint8_t* p, std::size_t n) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n * 8; ++i) {
        reg = (((reg ^ (p[i / 8] >> (i % 8))) & 1u) != 0) ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
    }
    return reg;
}

// A record with the right CRC; an extended one has `hdrlen` header bytes, the reserved ones
// (16..17, 20..) holding `fill`.
Bytes make_record(std::uint32_t magic, std::size_t len, std::uint16_t hdrlen = 0,
                  std::uint8_t fill = 0) {
    Bytes r;
    put32(r, 0);
    put32(r, static_cast<std::uint32_t>(len));
    put32(r, magic);
    put32(r, 0x01020304);
    if ((magic & RECORD_EXTENDED) != 0) {
        r.insert(r.end(), {fill, fill, static_cast<std::uint8_t>(hdrlen >> 8),
                           static_cast<std::uint8_t>(hdrlen)});
        r.resize(hdrlen, fill);
    }
    for (std::size_t i = 0; i < len; ++i) {
        r.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    }
    const std::uint32_t crc = reference_crc(r.data() + 4, r.size() - 4);
    for (std::size_t i = 0; i < 4; ++i) {
        r[i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
    return r;
}

Bytes raw_probe(std::uint32_t len, std::uint32_t magic, std::uint16_t hdrlen) {
    Bytes r;
    for (const std::uint32_t word : {0u, len, magic, 0u, std::uint32_t{hdrlen}}) {
        put32(r, word);
    }
    return r;
}

RecordHeader probe_of(const Bytes& b) {
    return parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(b.data(), 20));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
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

// What `print` writes on standard output, caught through a pipe (no file is created anywhere).
template <class Print>
std::string stdout_of(Print&& print) {
    std::fflush(stdout);
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    print();
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    std::string text;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    return text;
}

TEST(RecordHeader, PlainRecord) {
    const Bytes rec = make_record(IMAGE_DIAGS, 40);
    const RecordHeader h = probe_of(rec);
    EXPECT_EQ(h.crc, reference_crc(rec.data() + 4, rec.size() - 4));
    EXPECT_EQ(h.len, 40u);
    EXPECT_EQ(h.magic, IMAGE_DIAGS);
    EXPECT_FALSE(h.extended());
    EXPECT_EQ(h.header_length(), 16u);
    EXPECT_EQ(h.record_length(), 56u);
    EXPECT_EQ(h.payload(rec).data(), rec.data() + 16);
    EXPECT_EQ(h.payload(rec).size(), 40u);
    EXPECT_EQ(version_string(h.id), "1.2.3.4");
    EXPECT_STREQ(record_type_name(h.type()), "diags");

    EXPECT_TRUE(record_intact(rec));
    const std::span<const std::uint8_t> whole(rec);
    EXPECT_FALSE(record_intact(whole.first(rec.size() - 1)));
    EXPECT_FALSE(record_intact(concat({rec, {0}})));
    EXPECT_TRUE(h.payload(whole.first(55)).empty());
    EXPECT_TRUE(record_intact(make_record(IMAGE_RFS, 0)));  // 16 bytes, 12 under the CRC
}

TEST(RecordHeader, ExtendedKernelRecordAndItsReservedBytes) {
    const Bytes rec = make_record(0x83504F4Cu, 33, 28, 0xA5);
    const RecordHeader h = probe_of(rec);
    EXPECT_TRUE(h.extended());
    EXPECT_EQ(h.type(), IMAGE_KERNEL);
    EXPECT_EQ(h.header_length(), 28u);
    EXPECT_EQ(h.record_length(), 61u);
    EXPECT_EQ(h.payload(rec).data(), rec.data() + 28);
    EXPECT_EQ(classify_record(h), RecordFault::none);
    EXPECT_TRUE(record_intact(rec));
    // Bytes 16..17 and 20..hdrlen-1 mean nothing to a reader but are covered by the CRC.
    for (const std::size_t at : {16, 17, 20, 27, 60}) {
        Bytes damaged = rec;
        damaged[at] ^= 0x01;
        EXPECT_FALSE(record_intact(damaged)) << "byte " << at;
        EXPECT_EQ(probe_of(damaged).record_length(), 61u);
    }
}

TEST(RecordHeader, BootLoaderHeaderCopyAtPayloadByte240) {
    Bytes rec = make_record(IMAGE_BOOT, 300);
    const Bytes copy(rec.begin(), rec.begin() + 16);
    std::copy(copy.begin(), copy.end(), rec.begin() + 16 + BOOT_HEADER_COPY_OFFSET);
    const RecordHeader c = parse_header16(
        std::span<const std::uint8_t, 16>(rec.data() + 16 + BOOT_HEADER_COPY_OFFSET, 16));
    EXPECT_EQ(c.len, 300u);
    EXPECT_EQ(c.magic, IMAGE_BOOT);
    EXPECT_EQ(c.id, 0x01020304u);
    EXPECT_EQ(c.hdrlen, 0u);
}

TEST(RecordHeader, DisplayHeaderTexts) {
    const Bytes h = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 1, 0, 0x83, 0x50, 0x4F, 0x4C, 0, 0, 0, 0x0A};
    EXPECT_EQ(stdout_of([&] {
                  display_header(h.data(), 1);
                  display_header(h.data(), 0);
              }),
              "  crc: 0xdeadbeef\n"
              "  len: 0x00000100\n"
              "magic: 0x83504f4c\n"
              "   id: 0x0000000a\n");
    EXPECT_EQ(stdout_of([&] { display_header(h.data(), 0x100); }).size(), 4u * 18u);
}

TEST(RecordHeader, ClassifyEveryInvariantBreaker) {
    const auto fault = [](std::uint32_t len, std::uint32_t magic, std::uint16_t hdrlen) {
        return classify_record(probe_of(raw_probe(len, magic, hdrlen)));
    };
    const std::uint32_t ext = IMAGE_KERNEL | RECORD_EXTENDED;
    EXPECT_EQ(fault(100, ext, 0), RecordFault::hdrlen_too_small);
    EXPECT_EQ(fault(0, ext, 0), RecordFault::hdrlen_too_small);
    EXPECT_EQ(fault(100, ext, 19), RecordFault::hdrlen_too_small);
    EXPECT_EQ(fault(100, ext, 20), RecordFault::none);
    EXPECT_EQ(fault(0xFFFFFFFFu - 20, ext, 20), RecordFault::none);
    EXPECT_EQ(fault(0xFFFFFFFFu - 19, ext, 20), RecordFault::zero_length);
    EXPECT_EQ(fault(0xFFFFFFFFu, ext, 20), RecordFault::length_wraps);
    EXPECT_EQ(fault(0xFFFF0001u, ext, 0xFFFF), RecordFault::zero_length);
    // A plain header ignores bytes 18..19.
    EXPECT_EQ(fault(0, IMAGE_KERNEL, 3), RecordFault::none);
    EXPECT_EQ(fault(0xFFFFFFEFu, IMAGE_KERNEL, 0), RecordFault::none);
    EXPECT_EQ(fault(0xFFFFFFF0u, IMAGE_KERNEL, 0), RecordFault::zero_length);
    EXPECT_EQ(fault(0xFFFFFFF1u, IMAGE_KERNEL, 0), RecordFault::length_wraps);
    EXPECT_STRNE(record_fault_text(RecordFault::length_wraps),
                 record_fault_text(RecordFault::zero_length));
}

TEST(ProbeWalk, StepsByRecordLengthEvenOverRecordsShorterThanTheProbe) {
    const Bytes a = make_record(IMAGE_BOOT, 300);
    const Bytes b = make_record(IMAGE_KERNEL | RECORD_EXTENDED, 50, 40);
    const Bytes tiny = make_record(IMAGE_DFT, 2);  // 18 bytes: its probe reaches into the next
    const Bytes d = make_record(0x2A2A2A2Au, 10);  // unknown type
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
    const Bytes app = make_record(IMAGE_APPLICATION, 64);

    const Walked short_last = walk(concat({app, make_record(IMAGE_RFS, 0)}));
    EXPECT_EQ(short_last.records.size(), 1u);  // a final record shorter than 20 is not seen
    EXPECT_EQ(short_last.end.tail, 16u);
    EXPECT_EQ(walk(Bytes(19, 1)).records.size(), 0u);

    // Erased flash after the last record: extended, hdrlen 0xFFFF, len 0xFFFFFFFF.
    const Walked erased = walk(concat({app, Bytes(20, 0xFF)}));
    ASSERT_EQ(erased.records.size(), 2u);
    EXPECT_EQ(erased.records[1].fault, RecordFault::length_wraps);
    EXPECT_EQ(erased.end.end, WalkEnd::fault);
    EXPECT_EQ(erased.end.offset, app.size());

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
