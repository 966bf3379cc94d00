#include "signatures.hpp"

#include <algorithm>

#include "key_files.hpp"

namespace mpimage {

std::optional<Finding> Signatures::package_choice() const {
    for (const Finding& f : package) {
        if (f.holds.value_or(false)) {
            return f;
        }
    }
    return package.empty() ? std::nullopt : std::optional<Finding>(package.front());
}

std::uint32_t Signatures::package_counter() const {
    const bool checked = std::any_of(package.begin(), package.end(),
                                     [](const Finding& f) { return f.holds.has_value(); });
    std::uint32_t counter = 0;
    for (const Finding& f : package) {
        if (!checked || f.holds.value_or(false)) {
            counter = std::max(counter, f.counter);
        }
    }
    return counter;
}

signing::KeyRing load_public_keys(const std::vector<std::string>& paths) {
    signing::KeyRing ring;
    for (const std::string& p : paths) {
        const std::string text = read_small_file(p);
        const auto key = signing::parse_public_key(std::span<const std::uint8_t>(
            reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        if (!key) {
            throw Failure(EXIT_USAGE, p + ": not a public key made by mpimage keygen");
        }
        ring.keys.push_back(*key);
        ++ring.present;
    }
    return ring;
}

Signatures find_signatures(const InputFile& file, const std::vector<ProbedRecord>& records,
                           const signing::KeyRing& ring) {
    Signatures s;
    const bool keys = !ring.keys.empty();
    const auto finding = [&](const signing::RunEntry& e,
                             const std::optional<signing::Statement>& stmt) {
        Finding f{e.fields.key_id, e.fields.format, e.fields.counter, std::nullopt};
        if (keys) {
            f.holds =
                stmt && signing::check_signature(ring, e.fields, *stmt) == signing::KeyMatch::holds;
        }
        return f;
    };
    if (!records.empty() &&
        records.back().offset + records.back().header.record_length() == file.size()) {
        if (const auto start = signing::package_run_start(file.source(), records)) {
            s.package_start = *start;
            const std::vector<signing::RunEntry> run =
                signing::read_run(file.source(), *start, signing::Scope::package);
            const auto statements = signing::package_statements(file.source(), records, run);
            for (std::size_t i = 0; i < run.size(); ++i) {
                s.package.push_back(
                    finding(run[i], statements ? std::optional((*statements)[i]) : std::nullopt));
            }
        }
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].header.magic == signing::IMAGE_SIGNATURE) {
            continue;
        }
        const std::uint64_t length = records[i].header.record_length();
        const std::vector<signing::RunEntry> run =
            signing::read_run(file.source(), records[i].offset + length, signing::Scope::record);
        if (run.empty()) {
            continue;
        }
        const auto digest = signing::digest_of_range(file.source(), records[i].offset, length);
        for (const signing::RunEntry& e : run) {
            s.own[i].push_back(
                finding(e, digest ? std::optional(signing::statement_for(e.fields, length, *digest))
                                  : std::nullopt));
        }
    }
    return s;
}

}  // namespace mpimage
