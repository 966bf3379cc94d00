// mpimage verify: every record intact (and signed by a given key).

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

}  // namespace

std::string verify_help() {
    return HELP;
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

}  // namespace mpimage
