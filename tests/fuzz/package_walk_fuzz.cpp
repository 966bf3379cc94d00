// The probe walk and the record checks over arbitrary bytes: a downloaded package, a slot file
// or a flash partition can hold anything. The walk must end, every offset it reports must move
// forward and lie inside the package, and a record is only ever read inside the buffer.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "image/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> package(data, size);
    std::uint64_t last = 0;
    std::size_t visits = 0;
    const WalkResult end = walk_records(package, [&](const ProbedRecord& rec) {
        if ((visits > 0 && rec.offset <= last) || rec.offset + RECORD_PROBE_SIZE > size) {
            std::abort();
        }
        last = rec.offset;
        ++visits;
        const RecordHeader& h = rec.header;
        if (rec.fault == RecordFault::none) {
            if (h.record_length() < h.header_length() || h.record_length() < RECORD_HEADER_SIZE) {
                std::abort();
            }
            const std::uint64_t left = size - rec.offset;
            if (h.record_length() <= left) {
                const auto record = package.subspan(rec.offset, h.record_length());
                (void)record_intact(record);
                if (h.payload(record).size() != h.len) {
                    std::abort();
                }
            }
        }
        (void)record_type_name(h.type());
        (void)version_string(h.id);
        return true;
    });
    // Every step but the last covers at least 16 bytes, so the walk is bounded by the input.
    if (visits > size / RECORD_HEADER_SIZE + 1) {
        std::abort();
    }
    if (end.end == WalkEnd::end_of_package && end.tail >= RECORD_PROBE_SIZE) {
        std::abort();
    }
    return 0;
}
