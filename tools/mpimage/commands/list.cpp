// mpimage list: one line (or JSON object) per record of a package, with its signatures.

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "commands.hpp"
#include "signatures.hpp"
#include "walk.hpp"

namespace mpimage {

namespace {

const char* const HELP =
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

}  // namespace

std::string list_help() {
    return HELP;
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

}  // namespace mpimage
