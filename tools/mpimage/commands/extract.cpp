// mpimage extract: one record's payload to a file.

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "walk.hpp"

namespace mpimage {

namespace {

const char* const EXTRACT_HELP =
    "usage: mpimage extract PACKAGE INDEX OUTPUT [--force]\n"
    "\n"
    "Writes the payload of record INDEX (counted from 0, as list shows it) to OUTPUT. The\n"
    "record's CRC is checked while it is copied; a damaged or truncated record is not written\n"
    "(exit 1) unless --force is given, which writes what the package holds of its payload\n"
    "and still exits 1. A record that breaks the format is never written.\n"
    "OUTPUT appears only when complete.\n"
    "\n"
    "Exit status: 0 written, 1 damaged record, 2 usage or I/O error or no record INDEX.\n";

}  // namespace

std::string extract_help() {
    return EXTRACT_HELP;
}

int run_extract(const Args& args) {
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(args, {.command = "extract", .options = {{"--force"}}}, ARG_RULES);
    const std::vector<std::string>& positional = parsed.positional();
    const bool force = parsed.flag("--force");
    if (positional.size() != 3) {
        usage_error("extract needs PACKAGE INDEX OUTPUT");
    }
    const std::string& path = positional[0];
    const std::string& index_text = positional[1];
    if (index_text.empty() || index_text.size() > 9 ||
        index_text.find_first_not_of("0123456789") != std::string::npos) {
        usage_error("extract: bad INDEX '" + index_text + "' (a record number from 0)");
    }
    const std::size_t wanted = std::stoul(index_text);
    const InputFile file(path);

    std::optional<RecordReport> found;
    std::size_t seen = 0;
    walk_file(file, false, [&](const RecordReport& r) {
        seen = r.index + 1;
        if (r.index == wanted) {
            found = r;
            return false;
        }
        return true;
    });
    if (!found) {
        throw Failure(EXIT_USAGE, path + ": no record " + index_text + " (the package has " +
                                      std::to_string(seen) + " record" + (seen == 1 ? "" : "s") +
                                      ")");
    }
    const RecordReport& r = *found;
    const RecordHeader& h = r.rec.header;
    if (r.rec.fault != RecordFault::none) {
        // No payload range can be trusted, not even with --force.
        std::fprintf(stderr, "mpimage: %s: %s\n", where(path, r.index, r.rec).c_str(),
                     damage(r).c_str());
        return EXIT_DAMAGED;
    }

    const std::uint64_t header_length = h.header_length();
    const std::uint64_t payload_start = r.rec.offset + header_length;
    std::uint64_t payload_bytes = h.len;
    if (r.truncated) {
        payload_bytes = r.available > header_length ? r.available - header_length : 0;
    }
    OutputFile out(positional[2]);
    std::uint32_t crc =
        crc_of_range(file, r.rec.offset + 4, std::min(header_length, r.available) - 4, CRC_START);
    crc = crc_of_range(file, payload_start, payload_bytes, crc,
                       [&out](std::span<const std::uint8_t> piece) { out.write(piece); });
    RecordReport checked = r;
    checked.computed = crc;
    checked.crc_ok = !r.truncated && crc == h.crc;
    if (!checked.crc_ok) {
        std::fprintf(stderr, "mpimage: %s: %s%s\n", where(path, r.index, r.rec).c_str(),
                     damage(checked).c_str(),
                     force ? " (written anyway: --force)" : "; nothing written");
        if (!force) {
            return EXIT_DAMAGED;
        }
    }
    out.commit();
    std::printf("%s: %llu payload bytes of record %zu (%s)\n", positional[2].c_str(),
                static_cast<unsigned long long>(payload_bytes), r.index,
                record_type_name(h.type()));
    return checked.crc_ok ? EXIT_GOOD : EXIT_DAMAGED;
}

}  // namespace mpimage
