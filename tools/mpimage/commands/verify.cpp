// mpimage verify: every record intact (and signed by a given key).

#include <algorithm>
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

const char* const VERIFY_HELP =
    "usage: mpimage verify PACKAGE [--strict] [--pubkey NAME.pub]...\n"
    "\n"
    "Checks the CRC-32 of every record. Prints a summary and exits 0 when all are intact;\n"
    "otherwise names the first damaged record (index, offset, type, reason) on standard error\n"
    "and exits 1. A file without a single record fails too.\n"
    "\n"
    "With --pubkey (repeatable) the package must also end with package signatures one of which\n"
    "one of the given public keys verifies, and one of each record's own signatures must\n"
    "hold; otherwise the reason goes to standard error and the exit status is 1 (an unsigned,\n"
    "cut-off, changed or foreign-signed package fails). The summary names the key id and the\n"
    "package's security counter (the highest of the package signatures that hold).\n"
    "\n" MPIMAGE_WALK_TEXT
    "\n"
    "--strict counts ignored trailing bytes as damage.\n"
    "\n"
    "Exit status: 0 intact, 1 damaged, 2 usage or I/O error.\n";

}  // namespace

std::string verify_help() {
    return VERIFY_HELP;
}

int run_verify(const Args& args) {
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(args,
                               {.command = "verify",
                                .options = {{"--strict"}, {"--pubkey", true}},
                                .max_positional = 1,
                                .too_many = "verify takes one PACKAGE"},
                               ARG_RULES);
    if (parsed.positional().empty()) {
        usage_error("verify needs a PACKAGE");
    }
    const std::string& path = parsed.positional()[0];
    const bool strict = parsed.flag("--strict");
    const std::vector<std::string> pubkeys = parsed.values("--pubkey");
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
    if (sigs.package.empty()) {
        std::fprintf(stderr, "mpimage: %s: no package signature ends the package\n", path.c_str());
        return EXIT_DAMAGED;
    }
    const Finding chosen = *sigs.package_choice();
    const std::string id = signing::key_id_text(chosen.key_id);
    if (!*chosen.holds) {
        std::fprintf(stderr,
                     "mpimage: %s: no package signature holds under the given keys (key id %s%s)\n",
                     path.c_str(), id.c_str(), sigs.package.size() > 1 ? " and others" : "");
        return EXIT_DAMAGED;
    }
    for (const auto& [index, owns] : sigs.own) {
        if (std::none_of(owns.begin(), owns.end(),
                         [](const Finding& f) { return f.holds.value_or(false); })) {
            std::fprintf(stderr, "mpimage: %s: none of its own signatures holds\n",
                         where(path, index, records[index]).c_str());
            return EXIT_DAMAGED;
        }
    }
    std::printf("%s: %zu record%s intact, signed by key id %s, security counter %lu\n",
                path.c_str(), count, count == 1 ? "" : "s", id.c_str(),
                static_cast<unsigned long>(sigs.package_counter()));
    return EXIT_GOOD;
}

}  // namespace mpimage
