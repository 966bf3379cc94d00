// The probe walk of the board's readers over a package file, as list, verify and extract report
// it.
//
// Records are streamed: the CRC of a record is computed chunk by chunk, so a package of any size
// is checked in a fixed amount of memory, and a hostile length costs nothing but a message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crc/crc.hpp"
#include "image/record.hpp"
#include "package_file.hpp"

// The walk as the help texts of list and verify explain it.
#define MPIMAGE_WALK_TEXT                                                                       \
    "The package is walked as the board walks it: a 20-byte probe at each record start, the\n"  \
    "next record at start + record length, unknown record types stepped over (they are no\n"    \
    "error when intact). Bytes after the last record are probed like a header: 20 or more\n"    \
    "show up as one more record (normally damaged); fewer than 20 are ignored with a warning\n" \
    "on standard error. A record whose lengths break the format (extended header length\n"      \
    "below 20, header length + len beyond 32 bits, record length 0) is reported as damaged\n"   \
    "and ends the walk, since no reader can step past it.\n"

namespace mpimage {

struct RecordReport {
    std::size_t index = 0;
    ProbedRecord rec;
    std::uint64_t available = 0;  // bytes of the file from the record's start
    bool truncated = false;       // the record length reaches past the end of the file
    bool crc_ok = false;
    std::uint32_t computed = 0;  // valid when the record is neither faulty nor truncated
};

const char* type_name(const RecordHeader& h);
// "PATH: record N at offset O (0xO), type T"
std::string where(const std::string& path, std::size_t index, const ProbedRecord& rec);
// Why a record is damaged.
std::string damage(const RecordReport& r);

// Walks `file` and reports every record the board's readers would see. `check` computes the
// CRCs; `on_record` returns false to stop.
template <class OnRecord>
WalkResult walk_file(const InputFile& file, bool check, OnRecord&& on_record) {
    std::size_t index = 0;
    return walk_records(
        [&file](std::uint64_t offset, std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) {
            return offset >= file.size() ? std::size_t{0} : file.read_at(offset, probe);
        },
        [&](const ProbedRecord& rec) {
            RecordReport r;
            r.index = index++;
            r.rec = rec;
            r.available = file.size() - rec.offset;
            if (rec.fault == RecordFault::none) {
                const std::uint32_t length = rec.header.record_length();
                r.truncated = length > r.available;
                if (check && !r.truncated) {
                    r.computed = crc_of_range(file, rec.offset + 4, length - 4, CRC_START);
                    r.crc_ok = r.computed == rec.header.crc;
                }
            }
            return on_record(static_cast<const RecordReport&>(r));
        });
}

// Warns of ignored trailing bytes (an error with `strict`); false when they count as damage.
bool tail_warning(const std::string& path, const WalkResult& end, bool strict);

// The records as the walk finds them, without reading their payloads.
std::vector<ProbedRecord> probe_records(const InputFile& file);

}  // namespace mpimage
