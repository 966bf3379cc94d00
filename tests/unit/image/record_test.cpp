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

// Bit-by-bit CRC register, kept here so the records under test do not depend on the code that
// reads them.
std::uint32_t reference_crc(const std::uint8_t* p, std::size_t n) {
    std::uint32_t reg = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            const bool mix = ((reg ^ (p[i] >> bit)) & 1u) != 0;
            reg = mix ? (reg >> 1) ^ 0xEDB88320u : reg >> 1;
        }
    }
    return reg;
}

// A record with the right CRC. For an extended magic, `hdrlen` bytes of header whose reserved
// bytes (16..17, 20..) hold `fill`.
Bytes make_record(std::uint32_t magic, std::uint32_t id, const Bytes& payload,
                  std::uint16_t hdrlen = 0, std::uint8_t fill = 0) {
    Bytes r;
    put32(r, 0);
    put32(r, static_cast<std::uint32_t>(payload.size()));
    put32(r, magic);
    put32(r, id);
    if ((magic & 0x80000000u) != 0) {
        r.push_back(fill);
        r.push_back(fill);
        r.push_back(static_cast<std::uint8_t>(hdrlen >> 8));
        r.push_back(static_cast<std::uint8_t>(hdrlen));
        r.resize(hdrlen, fill);
    }
    r.insert(r.end(), payload.begin(), payload.end());
    const std::uint32_t crc = reference_crc(r.data() + 4, r.size() - 4);
    for (int i = 0; i < 4; ++i) {
        r[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    }
    return r;
}

Bytes pattern(std::size_t n, std::uint8_t seed = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(seed + i * 7);
    }
    return b;
}

RecordHeader probe_of(const Bytes& b, std::size_t at = 0) {
    return parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(b.data() + at, 20));
}

RecordHeader header_with(std::uint32_t magic, std::uint32_t len, std::uint16_t hdrlen) {
    RecordHeader h;
    h.magic = magic;
    h.len = len;
    h.hdrlen = hdrlen;
    return h;
}

// What `print` writes on standard output, caught through a pipe (no file is created anywhere).
template <class Print>
std::string stdout_of(Print&& print) {
    std::fflush(stdout);
    int fds[2];
    if (::pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
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

struct Seen {
    std::uint64_t offset;
    std::uint32_t type;
    RecordFault fault;
};

WalkResult walk(const Bytes& package, std::vector<Seen>& seen) {
    return walk_records(std::span<const std::uint8_t>(package), [&](const ProbedRecord& r) {
        seen.push_back({r.offset, r.header.type(), r.fault});
        return true;
    });
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

TEST(RecordHeader, PlainProbeGivesFieldsLengthsAndPayload) {
    const Bytes payload = pattern(40);
    const Bytes rec = make_record(IMAGE_KERNEL, 0x01020304, payload);
    const RecordHeader h = probe_of(rec);
    EXPECT_EQ(h.crc, reference_crc(rec.data() + 4, rec.size() - 4));
    EXPECT_EQ(h.len, 40u);
    EXPECT_EQ(h.magic, IMAGE_KERNEL);
    EXPECT_EQ(h.id, 0x01020304u);
    EXPECT_FALSE(h.extended());
    EXPECT_EQ(h.header_length(), 16u);
    EXPECT_EQ(h.record_length(), 56u);
    const auto p = h.payload(rec);
    EXPECT_EQ(Bytes(p.begin(), p.end()), payload);
    EXPECT_TRUE(record_intact(rec));
    EXPECT_EQ(version_string(h.id), "1.2.3.4");
}

TEST(RecordHeader, ExtendedKernelMagicTakesHdrlenAndPayloadStartsThere) {
    const Bytes payload = pattern(33, 9);
    const Bytes rec = make_record(0x83504F4Cu, 0xFF000A01, payload, 28, 0xA5);
    const RecordHeader h = probe_of(rec);
    EXPECT_TRUE(h.extended());
    EXPECT_EQ(h.type(), IMAGE_KERNEL);
    EXPECT_EQ(h.hdrlen, 28u);
    EXPECT_EQ(h.header_length(), 28u);
    EXPECT_EQ(h.record_length(), 61u);
    EXPECT_EQ(classify_record(h), RecordFault::none);
    const auto p = h.payload(rec);
    EXPECT_EQ(Bytes(p.begin(), p.end()), payload);
    EXPECT_TRUE(record_intact(rec));
    EXPECT_EQ(version_string(h.id), "255.0.10.1");
}

TEST(RecordHeader, CrcCoversReservedBytesOfExtendedHeader) {
    const Bytes rec = make_record(IMAGE_APPLICATION | RECORD_EXTENDED, 1, pattern(8), 24);
    for (const std::size_t at :
         {std::size_t{16}, std::size_t{17}, std::size_t{20}, std::size_t{23}, rec.size() - 1}) {
        Bytes damaged = rec;
        damaged[at] ^= 0x01;
        EXPECT_FALSE(record_intact(damaged)) << "byte " << at;
        // The reserved bytes are not interpreted: the lengths stay what they were.
        EXPECT_EQ(probe_of(damaged).record_length(), 32u);
    }
    Bytes crc_damaged = rec;
    crc_damaged[3] ^= 0x80;
    EXPECT_FALSE(record_intact(crc_damaged));
}

TEST(RecordHeader, RecordIntactNeedsExactlyOneWholeRecord) {
    const Bytes rec = make_record(IMAGE_DFT, 7, pattern(4));
    EXPECT_TRUE(record_intact(rec));
    EXPECT_FALSE(record_intact(std::span<const std::uint8_t>(rec).first(rec.size() - 1)));
    Bytes longer = rec;
    longer.push_back(0);
    EXPECT_FALSE(record_intact(longer));
    EXPECT_FALSE(record_intact(std::span<const std::uint8_t>(rec).first(15)));
    // A plain record of 16 bytes (len 0) is whole and intact on its own.
    EXPECT_TRUE(record_intact(make_record(IMAGE_RFS, 0, {})));
    EXPECT_TRUE(probe_of(rec).payload(std::span<const std::uint8_t>(rec).first(19)).empty());
}

TEST(RecordHeader, BootLoaderHeaderCopyReadsLikeAHeader) {
    // The boot loader keeps its record header at payload byte 240; the installed-version check
    // compares len, magic and id of the copy with the new record's header.
    Bytes payload = pattern(300);
    Bytes copy;
    put32(copy, 0);
    put32(copy, 300);
    put32(copy, IMAGE_BOOT);
    put32(copy, 0x02000001);
    std::copy(copy.begin(), copy.end(), payload.begin() + BOOT_HEADER_COPY_OFFSET);
    const Bytes rec = make_record(IMAGE_BOOT, 0x02000001, payload);
    const RecordHeader h = probe_of(rec);
    const RecordHeader c = parse_header16(std::span<const std::uint8_t, 16>(
        rec.data() + h.header_length() + BOOT_HEADER_COPY_OFFSET, 16));
    EXPECT_EQ(c.len, h.len);
    EXPECT_EQ(c.magic, h.magic);
    EXPECT_EQ(c.id, h.id);
    EXPECT_EQ(c.hdrlen, 0u);
    EXPECT_TRUE(record_intact(rec));
}

TEST(RecordHeader, TypeNames) {
    EXPECT_STREQ(record_type_name(IMAGE_APPLICATION), "application");
    EXPECT_STREQ(record_type_name(IMAGE_BOOT), "boot");
    EXPECT_STREQ(record_type_name(IMAGE_KERNEL), "kernel");
    EXPECT_STREQ(record_type_name(IMAGE_RFS), "rfs");
    EXPECT_STREQ(record_type_name(IMAGE_DFT), "dft");
    EXPECT_STREQ(record_type_name(IMAGE_DIAGS), "diags");
    EXPECT_STREQ(record_type_name(0x07504F4Cu), "unknown");
    // An erased flash reads 0xFF: type 0x7FFFFFFF.
    EXPECT_STREQ(record_type_name(header_with(0xFFFFFFFFu, 0, 0).type()), "unknown");
}

TEST(DisplayHeader, PrintsFourRightAlignedHexLinesOnlyWhenOn) {
    const Bytes h = {0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0x01, 0x00,
                     0x83, 0x50, 0x4F, 0x4C, 0, 0, 0,    0x0A};
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

TEST(ClassifyRecord, EveryInvariantBreaker) {
    const std::uint32_t ext = IMAGE_KERNEL | RECORD_EXTENDED;
    EXPECT_EQ(classify_record(header_with(ext, 100, 0)), RecordFault::hdrlen_too_small);
    EXPECT_EQ(classify_record(header_with(ext, 0, 0)), RecordFault::hdrlen_too_small);
    EXPECT_EQ(classify_record(header_with(ext, 100, 19)), RecordFault::hdrlen_too_small);
    EXPECT_EQ(classify_record(header_with(ext, 100, 20)), RecordFault::none);
    EXPECT_EQ(classify_record(header_with(ext, 0xFFFFFFFFu - 20, 20)), RecordFault::none);
    EXPECT_EQ(classify_record(header_with(ext, 0xFFFFFFFFu - 19, 20)), RecordFault::zero_length);
    EXPECT_EQ(classify_record(header_with(ext, 0xFFFFFFFFu, 20)), RecordFault::length_wraps);
    EXPECT_EQ(classify_record(header_with(ext, 0xFFFF0001u, 0xFFFF)), RecordFault::zero_length);

    // A plain header ignores bytes 18..19 altogether.
    EXPECT_EQ(classify_record(header_with(IMAGE_KERNEL, 0, 3)), RecordFault::none);
    EXPECT_EQ(classify_record(header_with(IMAGE_KERNEL, 0xFFFFFFEFu, 0)), RecordFault::none);
    EXPECT_EQ(classify_record(header_with(IMAGE_KERNEL, 0xFFFFFFF0u, 0)), RecordFault::zero_length);
    EXPECT_EQ(classify_record(header_with(IMAGE_KERNEL, 0xFFFFFFF1u, 0)),
              RecordFault::length_wraps);
    const RecordHeader wrapped = header_with(IMAGE_KERNEL, 0xFFFFFFF1u, 0);
    EXPECT_LT(wrapped.record_length(), wrapped.header_length());

    const std::string texts[] = {record_fault_text(RecordFault::hdrlen_too_small),
                                 record_fault_text(RecordFault::length_wraps),
                                 record_fault_text(RecordFault::zero_length)};
    EXPECT_NE(texts[0], texts[1]);
    EXPECT_NE(texts[1], texts[2]);
    EXPECT_NE(texts[0], texts[2]);
}

TEST(ProbeWalk, StepsByRecordLengthOverMixedRecords) {
    const Bytes a = make_record(IMAGE_BOOT, 1, pattern(300));
    const Bytes b = make_record(IMAGE_KERNEL | RECORD_EXTENDED, 2, pattern(50), 40);
    const Bytes c = make_record(0x2A2A2A2Au, 3, pattern(10));  // unknown type
    const Bytes d = make_record(IMAGE_APPLICATION, 4, pattern(1000));
    std::vector<Seen> seen;
    const WalkResult end = walk(concat({a, b, c, d}), seen);
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0].offset, 0u);
    EXPECT_EQ(seen[1].offset, a.size());
    EXPECT_EQ(seen[1].type, IMAGE_KERNEL);
    EXPECT_EQ(seen[2].offset, a.size() + b.size());
    EXPECT_EQ(seen[2].type, 0x2A2A2A2Au);
    EXPECT_EQ(seen[3].offset, a.size() + b.size() + c.size());
    EXPECT_EQ(end.end, WalkEnd::end_of_package);
    EXPECT_EQ(end.offset, a.size() + b.size() + c.size() + d.size());
    EXPECT_EQ(end.tail, 0u);
}

TEST(ProbeWalk, ShortRecordInsideIsSeenButAtTheEndIsNot) {
    const Bytes tiny = make_record(IMAGE_DFT, 5, pattern(2));  // 18 bytes
    const Bytes app = make_record(IMAGE_APPLICATION, 6, pattern(64));
    std::vector<Seen> inside;
    walk(concat({tiny, app}), inside);
    ASSERT_EQ(inside.size(), 2u);
    EXPECT_EQ(inside[1].offset, 18u);
    EXPECT_EQ(inside[1].type, IMAGE_APPLICATION);

    std::vector<Seen> at_end;
    const WalkResult end = walk(concat({app, make_record(IMAGE_RFS, 0, {})}), at_end);
    ASSERT_EQ(at_end.size(), 1u);
    EXPECT_EQ(end.end, WalkEnd::end_of_package);
    EXPECT_EQ(end.offset, app.size());
    EXPECT_EQ(end.tail, 16u);

    std::vector<Seen> empty;
    EXPECT_EQ(walk(Bytes(19, 0x01), empty).tail, 19u);
    EXPECT_TRUE(empty.empty());
}

TEST(ProbeWalk, GarbageTailOfTwentyBytesIsOneMoreRecord) {
    const Bytes app = make_record(IMAGE_APPLICATION, 6, pattern(64));
    std::vector<Seen> seen;
    const WalkResult end = walk(concat({app, Bytes(20, 0xFF)}), seen);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].offset, app.size());
    EXPECT_EQ(seen[1].type, 0x7FFFFFFFu);
    // Erased flash: extended with hdrlen 0xFFFF and len 0xFFFFFFFF, which wraps.
    EXPECT_EQ(seen[1].fault, RecordFault::length_wraps);
    EXPECT_EQ(end.end, WalkEnd::fault);
    EXPECT_EQ(end.offset, app.size());
}

TEST(ProbeWalk, FaultyRecordIsVisitedAndEndsTheWalk) {
    const Bytes app = make_record(IMAGE_APPLICATION, 6, pattern(64));
    Bytes zero_ext;  // extended, hdrlen 0, len 0: would keep a reader at this offset forever
    put32(zero_ext, 0);
    put32(zero_ext, 0);
    put32(zero_ext, IMAGE_KERNEL | RECORD_EXTENDED);
    put32(zero_ext, 0);
    put32(zero_ext, 0);
    std::vector<Seen> seen;
    const WalkResult end = walk(concat({app, zero_ext, app}), seen);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].fault, RecordFault::hdrlen_too_small);
    EXPECT_EQ(end.end, WalkEnd::fault);
    EXPECT_EQ(end.offset, app.size());
}

TEST(ProbeWalk, HugeLengthStepsPastTheEndAndVisitorCanStop) {
    Bytes huge;
    put32(huge, 0);
    put32(huge, 0xFFFFFF00u);
    put32(huge, IMAGE_KERNEL);
    put32(huge, 0);
    put32(huge, 0);
    std::vector<Seen> seen;
    const WalkResult end =
        walk(concat({huge, make_record(IMAGE_APPLICATION, 1, pattern(8))}), seen);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(end.end, WalkEnd::end_of_package);
    EXPECT_EQ(end.offset, 0xFFFFFF10u);
    EXPECT_EQ(end.tail, 0u);

    const Bytes rec = make_record(IMAGE_APPLICATION, 1, pattern(8));
    int visits = 0;
    const WalkResult stopped = walk_records(std::span<const std::uint8_t>(concat({rec, rec, rec})),
                                            [&](const ProbedRecord&) { return ++visits < 2; });
    EXPECT_EQ(visits, 2);
    EXPECT_EQ(stopped.end, WalkEnd::stopped);
    EXPECT_EQ(stopped.offset, rec.size());
}

}  // namespace
