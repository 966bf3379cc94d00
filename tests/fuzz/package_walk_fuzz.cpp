// The probe walk over arbitrary bytes: it moves forward, stays inside the package, ends, and a
// sound record (a signature record's fields and a compatible record's names too) is only read
// inside the buffer.
#include <algorithm>
#include <cstdlib>
#include <span>

#include "image/compatible.hpp"
#include "image/record.hpp"
#include "image/signature.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> package(data, size);
    const auto read_probe = [package](std::uint64_t offset,
                                      std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) {
        const std::size_t n = offset >= package.size()
                                  ? 0
                                  : std::min<std::uint64_t>(package.size() - offset, probe.size());
        std::copy_n(package.begin() + static_cast<std::ptrdiff_t>(n != 0 ? offset : 0), n,
                    probe.begin());
        return n;
    };
    std::uint64_t next = 0;
    std::size_t visits = 0;
    bool ok = true;
    const WalkResult end = walk_records(read_probe, [&](const ProbedRecord& rec) {
        const bool sound = rec.fault == RecordFault::none;
        const std::uint32_t length = rec.header.record_length();
        ok = rec.offset >= next && rec.offset + RECORD_PROBE_SIZE <= size &&
             (!sound || length >= RECORD_HEADER_SIZE) && ++visits <= size / RECORD_HEADER_SIZE + 1;
        next = rec.offset + 1;
        if (ok && sound && length <= size - rec.offset) {
            const auto record = package.subspan(rec.offset, length);
            static_cast<void>(record_intact(record));
            static_cast<void>(signing::parse_signature_record(record));
            static_cast<void>(image::parse_compatible(rec.header.payload(record)));
            ok = rec.header.payload(record).size() == rec.header.len;
        }
        return ok;
    });
    if (!ok || end.tail >= RECORD_PROBE_SIZE) {
        std::abort();
    }
    return 0;
}
