// The probe walk over arbitrary bytes: each probe lies inside the package, past the last one.
#include <cstdlib>
#include <span>

#include "image/record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> package(data, size);
    std::uint64_t next = 0;
    walk_records(package, [&](const ProbedRecord& rec) {
        if (rec.offset < next || rec.offset + RECORD_PROBE_SIZE > size) {
            std::abort();
        }
        next = rec.offset + 1;
        return true;
    });
    return 0;
}
