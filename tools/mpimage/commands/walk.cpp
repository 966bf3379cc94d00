#include "walk.hpp"

#include "image/compatible.hpp"

#include <cinttypes>
#include <cstdio>

#include "image/signature.hpp"

namespace mpimage {

const char* type_name(const RecordHeader& h) {
    if (h.magic == image::IMAGE_COMPATIBLE) {
        return "compatible";
    }
    return h.magic == signing::IMAGE_SIGNATURE ? "signature" : record_type_name(h.type());
}

std::string where(const std::string& path, std::size_t index, const ProbedRecord& rec) {
    char text[128];
    std::snprintf(text, sizeof text, ": record %zu at offset %" PRIu64 " (0x%" PRIx64 "), type %s",
                  index, rec.offset, rec.offset, type_name(rec.header));
    return path + text;
}

std::string damage(const RecordReport& r) {
    if (r.rec.fault != RecordFault::none) {
        return std::string("breaks the record format (") + record_fault_text(r.rec.fault) +
               "); the walk ends here";
    }
    if (r.truncated) {
        return "truncated: record length " + std::to_string(r.rec.header.record_length()) +
               ", only " + std::to_string(r.available) + " bytes left in the file";
    }
    return "CRC mismatch: stored " + hex32(r.rec.header.crc) + ", computed " + hex32(r.computed);
}

bool tail_warning(const std::string& path, const WalkResult& end, bool strict) {
    if (end.end != WalkEnd::end_of_package || end.tail == 0) {
        return true;
    }
    std::fprintf(stderr,
                 "mpimage: %s: %s: %zu trailing byte%s at offset %" PRIu64
                 " ignored (fewer than the 20 of a record probe)\n",
                 path.c_str(), strict ? "error" : "warning", end.tail, end.tail == 1 ? "" : "s",
                 end.offset);
    return !strict;
}

// The records as the walk finds them, without reading their payloads.
std::vector<ProbedRecord> probe_records(const InputFile& file) {
    std::vector<ProbedRecord> records;
    walk_file(file, false, [&](const RecordReport& r) {
        records.push_back(r.rec);
        return true;
    });
    return records;
}

}  // namespace mpimage
