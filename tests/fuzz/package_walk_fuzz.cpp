// The probe walk and the record checks over arbitrary bytes: the walk ends, moves forward,
// stays inside the package, and a record is only read inside the buffer.
#include <cstdlib>
#include <span>

#include "image/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> package(data, size);
    std::uint64_t last = 0;
    std::size_t visits = 0;
    const WalkResult end = walk_records(package, [&](const ProbedRecord& rec) {
        const RecordHeader& h = rec.header;
        if ((visits++ > 0 && rec.offset <= last) || rec.offset + RECORD_PROBE_SIZE > size ||
            (rec.fault == RecordFault::none && h.record_length() < RECORD_HEADER_SIZE)) {
            std::abort();
        }
        last = rec.offset;
        if (rec.fault == RecordFault::none && h.record_length() <= size - rec.offset) {
            const auto record = package.subspan(rec.offset, h.record_length());
            static_cast<void>(record_intact(record));
            if (h.payload(record).size() != h.len) {
                std::abort();
            }
        }
        return true;
    });
    if (visits > size / RECORD_HEADER_SIZE + 1 || end.tail >= RECORD_PROBE_SIZE) {
        std::abort();
    }
    return 0;
}
