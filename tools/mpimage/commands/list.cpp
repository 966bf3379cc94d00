// mpimage list: one line (or JSON object) per record of a package, with its signatures.

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "image/compatible.hpp"
#include "signatures.hpp"
#include "walk.hpp"

namespace mpimage {

namespace {

const char* const LIST_HELP =
    "usage: mpimage list PACKAGE [--json] [--strict] [--pubkey NAME.pub]...\n"
    "\n"
    "One line per record: index, offset, type, magic, extended or not, header length, len,\n"
    "version, whether the CRC is good, and its signatures: \"pkg\" and the key id of each\n"
    "package signature that covers it, \"own\" and the key id of each of its own signatures\n"
    "(application and diagnostics records), each followed by ok or BAD when --pubkey gave keys\n"
    "to check it with, ? otherwise, and by \"counter N\" when it carries a security counter;\n"
    "- for none. A compatible record shows the products it names.\n"
    "\n"
    "With --json, a JSON array of objects with the keys offset, type (application, boot,\n"
    "kernel, rfs, dft, diags, signature, compatible or unknown), magic (the whole word),\n"
    "extended, header_length, len, version (\"a.b.c.d\"), crc_ok, signed, key_id and\n"
    "signature_holds (the package signature that holds, else the first), security_counter (the\n"
    "package's: the highest of its package signatures that hold, or of all when no key was\n"
    "given; null when it is not covered), package_signatures and own_signatures (arrays of\n"
    "objects with key_id, format, security_counter and holds), own_key_id and\n"
    "own_signature_holds (the first of its own), and products (the names of a compatible\n"
    "record, else null); a key id is 16 hexadecimal digits or null, a holds is null when no key\n"
    "was given. The reason for each damaged record goes to standard error.\n"
    "\n" MPIMAGE_WALK_TEXT
    "\n"
    "--strict counts ignored trailing bytes as damage.\n"
    "\n"
    "Exit status: 0 every record intact, 1 a damaged record (or no record at all), 2 usage or\n"
    "I/O error.\n";

}  // namespace

std::string list_help() {
    return LIST_HELP;
}

namespace {

struct ListOptions {
    std::string path;
    bool json = false;
    bool strict = false;
    std::vector<std::string> pubkeys;
};

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

std::string json_findings(const std::vector<Finding>& findings) {
    std::string text = "[";
    for (const Finding& f : findings) {
        text += (text.size() > 1 ? ", " : "") + std::string("{\"key_id\": ") + json_key(f) +
                ", \"format\": " + std::to_string(f.format) +
                ", \"security_counter\": " + std::to_string(f.counter) +
                ", \"holds\": " + json_holds(f) + "}";
    }
    return text + "]";
}

std::string findings_text(const char* what, const std::vector<Finding>& findings) {
    std::string text;
    for (const Finding& f : findings) {
        text += (text.empty() ? "" : ", ") + std::string(what) + " " +
                signing::key_id_text(f.key_id) + " " + holds_text(f.holds);
        if (f.format == signing::kFormatCounter) {
            text += " counter " + std::to_string(f.counter);
        }
    }
    return text;
}

// The products of a compatible record, when it is one and intact.
std::optional<std::vector<std::string>> products_of(const InputFile& file,
                                                    const ProbedRecord& rec) {
    image::LoadedRecord loaded;
    if (rec.header.magic != image::IMAGE_COMPATIBLE ||
        image::load_record(file.source(), rec.offset, rec.header, loaded) !=
            image::LoadResult::loaded ||
        !loaded.intact()) {
        return std::nullopt;
    }
    return image::parse_compatible(loaded.payload());
}

}  // namespace

int run_list(const Args& args) {
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(args,
                               {.command = "list",
                                .options = {{"--json"}, {"--strict"}, {"--pubkey", true}},
                                .max_positional = 1,
                                .too_many = "list takes one PACKAGE"},
                               ARG_RULES);
    if (parsed.positional().empty()) {
        usage_error("list needs a PACKAGE");
    }
    ListOptions opt;
    opt.path = parsed.positional()[0];
    opt.json = parsed.flag("--json");
    opt.strict = parsed.flag("--strict");
    opt.pubkeys = parsed.values("--pubkey");
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
        // Every record before the package signatures is covered by them.
        const bool covered = !sigs.package.empty() && r.rec.offset < sigs.package_start;
        const std::optional<Finding> pkg = covered ? sigs.package_choice() : std::nullopt;
        const auto it = sigs.own.find(r.index);
        const std::vector<Finding> owns =
            it != sigs.own.end() ? it->second : std::vector<Finding>{};
        const std::optional<Finding> own =
            owns.empty() ? std::nullopt : std::optional<Finding>(owns.front());
        const auto products = products_of(file, r.rec);
        if (opt.json) {
            std::string names = "null";
            if (products) {
                names = "[";
                for (const std::string& n : *products) {
                    names += (names.size() > 1 ? ", \"" : "\"") + n + "\"";
                }
                names += "]";
            }
            std::printf(
                "%s\n  {\"offset\": %" PRIu64
                ", \"type\": \"%s\", \"magic\": %lu, \"extended\": %s, "
                "\"header_length\": %lu, \"len\": %lu, \"version\": \"%s\", \"crc_ok\": %s, "
                "\"signed\": %s, \"key_id\": %s, \"signature_holds\": %s, "
                "\"security_counter\": %s, \"package_signatures\": %s, \"own_key_id\": %s, "
                "\"own_signature_holds\": %s, \"own_signatures\": %s, \"products\": %s}",
                count == 0 ? "" : ",", r.rec.offset, type_name(h),
                static_cast<unsigned long>(h.magic), h.extended() ? "true" : "false",
                static_cast<unsigned long>(h.header_length()), static_cast<unsigned long>(h.len),
                version.c_str(), r.crc_ok ? "true" : "false", pkg ? "true" : "false",
                json_key(pkg).c_str(), json_holds(pkg).c_str(),
                covered ? std::to_string(sigs.package_counter()).c_str() : "null",
                json_findings(covered ? sigs.package : std::vector<Finding>{}).c_str(),
                json_key(own).c_str(), json_holds(own).c_str(), json_findings(owns).c_str(),
                names.c_str());
        } else {
            std::string signed_text = covered ? findings_text("pkg", sigs.package) : "";
            const std::string own_text = findings_text("own", owns);
            if (!own_text.empty()) {
                signed_text += (signed_text.empty() ? "" : ", ") + own_text;
            }
            if (products) {
                signed_text += (signed_text.empty() ? "for " : ", for ") + image::joined(*products);
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

}  // namespace mpimage
