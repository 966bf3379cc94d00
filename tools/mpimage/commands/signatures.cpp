#include "signatures.hpp"

#include "key_files.hpp"

namespace mpimage {

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
    const auto fields_at = [&](const ProbedRecord& rec) -> std::optional<signing::SignatureFields> {
        if (rec.header.magic != signing::IMAGE_SIGNATURE) {
            return std::nullopt;
        }
        image::LoadedRecord loaded;
        if (image::load_record(file.source(), rec.offset, rec.header, loaded) !=
            image::LoadResult::loaded) {
            return std::nullopt;
        }
        return signing::parse_signature_record(loaded.bytes);
    };
    const auto holds = [&](const signing::SignatureFields& f, signing::Scope scope,
                           std::uint64_t offset, std::uint64_t length) -> std::optional<bool> {
        if (!keys) {
            return std::nullopt;
        }
        const auto digest = signing::digest_of_range(file.source(), offset, length);
        return digest &&
               signing::check_signature(ring, f, signing::statement(scope, length, *digest)) ==
                   signing::KeyMatch::holds;
    };
    if (!records.empty() &&
        records.back().offset + records.back().header.record_length() == file.size()) {
        if (const auto f = fields_at(records.back()); f && f->scope == signing::Scope::package) {
            s.package = Finding{f->key_id, holds(*f, f->scope, 0, records.back().offset)};
        }
    }
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        if (const auto f = fields_at(records[i + 1]); f && f->scope == signing::Scope::record) {
            s.own[i] = Finding{f->key_id, holds(*f, f->scope, records[i].offset,
                                                records[i].header.record_length())};
        }
    }
    return s;
}

}  // namespace mpimage
