// mpimage list, verify and extract: the probe walk of the board's readers over a package file.
//
// Records are streamed: the CRC of a record is computed chunk by chunk, so a package of any size
// is checked in a fixed amount of memory, and a hostile length costs nothing but a message.

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "crc/crc.hpp"
#include "image/record.hpp"
#include "package_file.hpp"
#include "sign.hpp"

namespace mpimage {

#define MPIMAGE_WALK_TEXT                                                                       \
    "The package is walked as the board walks it: a 20-byte probe at each record start, the\n"  \
    "next record at start + record length, unknown record types stepped over (they are no\n"    \
    "error when intact). Bytes after the last record are probed like a header: 20 or more\n"    \
    "show up as one more record (normally damaged); fewer than 20 are ignored with a warning\n" \
    "on standard error. A record whose lengths break the format (extended header length\n"      \
    "below 20, header length + len beyond 32 bits, record length 0) is reported as damaged\n"   \
    "and ends the walk, since no reader can step past it.\n"

const char* const LIST_HELP =
    "usage: mpimage list PACKAGE [--json] [--strict] [--pubkey NAME.pub]...\n"
    "\n"
    "One line per record: index, offset, type, magic, extended or not, header length, len,\n"
    "version, whether the CRC is good, and its signatures: \"pkg\" and the key id of the\n"
    "package signature that covers it, \"own\" and the key id of its own signature (application\n"
    "records), each followed by ok or BAD when --pubkey gave keys to check it with, ? otherwise;\n"
    "- for none. With --json, a JSON array of objects with the keys offset, type (application,\n"
    "boot, kernel, rfs, dft, diags, signature or unknown), magic (the whole word), extended,\n"
    "header_length, len, version (\"a.b.c.d\"), crc_ok, signed, key_id and signature_holds (the\n"
    "package signature), own_key_id and own_signature_holds; a key id is 16 hexadecimal digits\n"
    "or null, a holds is null when no key was given. The reason for each damaged record goes to\n"
    "standard error.\n"
    "\n" MPIMAGE_WALK_TEXT
    "\n"
    "--strict counts ignored trailing bytes as damage.\n"
    "\n"
    "Exit status: 0 every record intact, 1 a damaged record (or no record at all), 2 usage or\n"
    "I/O error.\n";

const char* const VERIFY_HELP =
    "usage: mpimage verify PACKAGE [--strict] [--pubkey NAME.pub]...\n"
    "\n"
    "Checks the CRC-32 of every record. Prints a summary and exits 0 when all are intact;\n"
    "otherwise names the first damaged record (index, offset, type, reason) on standard error\n"
    "and exits 1. A file without a single record fails too.\n"
    "\n"
    "With --pubkey (repeatable) the package must also end with a package signature that one of\n"
    "the given public keys verifies over everything before it, and every record's own\n"
    "signature must hold; otherwise the reason goes to standard error and the exit status is 1\n"
    "(an unsigned, cut-off, changed or foreign-signed package fails).\n"
    "\n" MPIMAGE_WALK_TEXT
    "\n"
    "--strict counts ignored trailing bytes as damage.\n"
    "\n"
    "Exit status: 0 intact, 1 damaged, 2 usage or I/O error.\n";

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

namespace {

struct RecordReport {
    std::size_t index = 0;
    ProbedRecord rec;
    std::uint64_t available = 0;  // bytes of the file from the record's start
    bool truncated = false;       // the record length reaches past the end of the file
    bool crc_ok = false;
    std::uint32_t computed = 0;  // valid when the record is neither faulty nor truncated
};

const char* type_name(const RecordHeader& h) {
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

struct ListOptions {
    std::string path;
    bool json = false;
    bool strict = false;
    std::vector<std::string> pubkeys;
};

// The records as the walk finds them, without reading their payloads.
std::vector<ProbedRecord> probe_records(const InputFile& file) {
    std::vector<ProbedRecord> records;
    walk_file(file, false, [&](const RecordReport& r) {
        records.push_back(r.rec);
        return true;
    });
    return records;
}

std::string holds_text(const std::optional<bool>& holds) {
    return !holds ? "?" : *holds ? "ok" : "BAD";
}

std::string json_key(const std::optional<Finding>& f) {
    if (!f) {
        return "null";
    }
    std::string text(1, '"');
    text += signing::key_id_text(f->key_id);
    return text += '"';
}

std::string json_holds(const std::optional<Finding>& f) {
    return !f || !f->holds ? "null" : *f->holds ? "true" : "false";
}

}  // namespace

int run_list(const Args& args) {
    ListOptions opt;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--json") {
            opt.json = true;
        } else if (a == "--strict") {
            opt.strict = true;
        } else if (a == "--pubkey" && i + 1 < args.size()) {
            opt.pubkeys.push_back(args[++i]);
        } else if (a.rfind("--", 0) == 0) {
            usage_error("list: unknown option '" + a + "'");
        } else if (opt.path.empty()) {
            opt.path = a;
        } else {
            usage_error("list takes one PACKAGE");
        }
    }
    if (opt.path.empty()) {
        usage_error("list needs a PACKAGE");
    }
    const InputFile file(opt.path);
    const std::vector<ProbedRecord> records = probe_records(file);
    const Signatures sigs = find_signatures(file, records, load_public_keys(opt.pubkeys));
    bool all_good = true;
    std::size_t count = 0;
    if (opt.json) {
        std::printf("[");
    } else {
        std::printf("%-5s %-12s %-11s %-10s %-3s %6s %10s %-15s %-3s %s\n", "index", "offset",
                    "type", "magic", "ext", "hdrlen", "len", "version", "crc", "signed");
    }
    const WalkResult end = walk_file(file, true, [&](const RecordReport& r) {
        const RecordHeader& h = r.rec.header;
        const std::string version = version_string(h.id);
        // Every record before the package signature is covered by it.
        const bool covered = sigs.package && r.index + 1 < records.size();
        const std::optional<Finding> pkg = covered ? sigs.package : std::nullopt;
        const auto it = sigs.own.find(r.index);
        const std::optional<Finding> own =
            it != sigs.own.end() ? std::optional<Finding>(it->second) : std::nullopt;
        if (opt.json) {
            std::printf(
                "%s\n  {\"offset\": %" PRIu64
                ", \"type\": \"%s\", \"magic\": %lu, \"extended\": %s, "
                "\"header_length\": %lu, \"len\": %lu, \"version\": \"%s\", \"crc_ok\": %s, "
                "\"signed\": %s, \"key_id\": %s, \"signature_holds\": %s, \"own_key_id\": %s, "
                "\"own_signature_holds\": %s}",
                count == 0 ? "" : ",", r.rec.offset, type_name(h),
                static_cast<unsigned long>(h.magic), h.extended() ? "true" : "false",
                static_cast<unsigned long>(h.header_length()), static_cast<unsigned long>(h.len),
                version.c_str(), r.crc_ok ? "true" : "false", pkg ? "true" : "false",
                json_key(pkg).c_str(), json_holds(pkg).c_str(), json_key(own).c_str(),
                json_holds(own).c_str());
        } else {
            std::string signed_text;
            if (pkg) {
                signed_text =
                    "pkg " + signing::key_id_text(pkg->key_id) + " " + holds_text(pkg->holds);
            }
            if (own) {
                signed_text += std::string(pkg ? ", " : "") + "own " +
                               signing::key_id_text(own->key_id) + " " + holds_text(own->holds);
            }
            std::printf("%-5zu %-12" PRIu64 " %-11s 0x%08lx %-3s %6lu %10lu %-15s %-3s %s\n",
                        r.index, r.rec.offset, type_name(h), static_cast<unsigned long>(h.magic),
                        h.extended() ? "yes" : "no", static_cast<unsigned long>(h.header_length()),
                        static_cast<unsigned long>(h.len), version.c_str(), r.crc_ok ? "ok" : "BAD",
                        signed_text.empty() ? "-" : signed_text.c_str());
        }
        if (!r.crc_ok) {
            all_good = false;
            std::fflush(stdout);
            std::fprintf(stderr, "mpimage: %s: %s\n", where(opt.path, r.index, r.rec).c_str(),
                         damage(r).c_str());
        }
        ++count;
        return true;
    });
    if (opt.json) {
        std::printf("%s]\n", count == 0 ? "" : "\n");
    }
    std::fflush(stdout);
    if (!tail_warning(opt.path, end, opt.strict)) {
        all_good = false;
    }
    if (count == 0) {
        std::fprintf(stderr, "mpimage: %s: no record (a record is at least 20 bytes)\n",
                     opt.path.c_str());
        return EXIT_DAMAGED;
    }
    return all_good ? EXIT_GOOD : EXIT_DAMAGED;
}

int run_verify(const Args& args) {
    std::string path;
    bool strict = false;
    std::vector<std::string> pubkeys;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--strict") {
            strict = true;
        } else if (a == "--pubkey" && i + 1 < args.size()) {
            pubkeys.push_back(args[++i]);
        } else if (a.rfind("--", 0) == 0) {
            usage_error("verify: unknown option '" + a + "'");
        } else if (path.empty()) {
            path = a;
        } else {
            usage_error("verify takes one PACKAGE");
        }
    }
    if (path.empty()) {
        usage_error("verify needs a PACKAGE");
    }
    const InputFile file(path);
    const signing::KeyRing ring = load_public_keys(pubkeys);
    std::size_t count = 0;
    bool damaged = false;
    std::vector<ProbedRecord> records;
    const WalkResult end = walk_file(file, true, [&](const RecordReport& r) {
        records.push_back(r.rec);
        if (!r.crc_ok) {
            std::fprintf(stderr, "mpimage: %s: %s\n", where(path, r.index, r.rec).c_str(),
                         damage(r).c_str());
            damaged = true;
            return false;
        }
        ++count;
        return true;
    });
    if (damaged) {
        return EXIT_DAMAGED;
    }
    if (!tail_warning(path, end, strict)) {
        return EXIT_DAMAGED;
    }
    if (count == 0) {
        std::fprintf(stderr, "mpimage: %s: no record (a record is at least 20 bytes)\n",
                     path.c_str());
        return EXIT_DAMAGED;
    }
    if (pubkeys.empty()) {
        std::printf("%s: %zu record%s intact\n", path.c_str(), count, count == 1 ? "" : "s");
        return EXIT_GOOD;
    }
    const Signatures sigs = find_signatures(file, records, ring);
    if (!sigs.package) {
        std::fprintf(stderr, "mpimage: %s: no package signature ends the package\n", path.c_str());
        return EXIT_DAMAGED;
    }
    const std::string id = signing::key_id_text(sigs.package->key_id);
    if (!*sigs.package->holds) {
        std::fprintf(stderr,
                     "mpimage: %s: the package signature by key id %s does not hold under the "
                     "given keys\n",
                     path.c_str(), id.c_str());
        return EXIT_DAMAGED;
    }
    for (const auto& [index, own] : sigs.own) {
        if (!*own.holds) {
            std::fprintf(stderr, "mpimage: %s: its own signature does not hold\n",
                         where(path, index, records[index]).c_str());
            return EXIT_DAMAGED;
        }
    }
    std::printf("%s: %zu record%s intact, signed by key id %s\n", path.c_str(), count,
                count == 1 ? "" : "s", id.c_str());
    return EXIT_GOOD;
}

int run_extract(const Args& args) {
    std::vector<std::string> positional;
    bool force = false;
    for (const std::string& a : args) {
        if (a == "--force") {
            force = true;
        } else if (a.rfind("--", 0) == 0) {
            usage_error("extract: unknown option '" + a + "'");
        } else {
            positional.push_back(a);
        }
    }
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
