// mpimage sign: a package signed with a private key.
//
// The private key lives in NAME.key on the release host and nowhere else; the board holds
// NAME.pub. A package is signed by streaming it: every record is copied and hashed, a record the
// boot path can boot (application, diagnostics) gets its own signature record right after it, and
// a package signature record over everything before it ends the package.

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/byte_order.hpp"
#include "commands.hpp"
#include "common/record_writer.hpp"
#include "crc/crc.hpp"
#include "image/record.hpp"
#include "key_files.hpp"
#include "package_file.hpp"

namespace mpimage {

namespace {

const char* const SIGN_HELP =
    "usage: mpimage sign PACKAGE --key NAME.key [--key NAME.key]... [--security-counter N]\n"
    "                    [--replace] [--output OUT]\n"
    "\n"
    "Signs a package with each private key given, in turn: each application (and diagnostics)\n"
    "record gets a signature record of its own by each key right after it (they travel with an\n"
    "application record into the image slot file, where a board with verify=on checks them\n"
    "before it boots), and a package signature record by each key ends the package. A board\n"
    "takes the package when one of the package signatures holds under one of its keys, and\n"
    "boots a slot when one of the record's own signatures does: sign with the old and the new\n"
    "key while boards move from one to the other.\n"
    "\n"
    "Signing adds: signatures already in PACKAGE stay, and a key that signed it already is\n"
    "refused. --replace drops every signature record first. A package signature made without\n"
    "a security counter by the first signing covers the records' own signatures too, so it\n"
    "would no longer hold once another key adds its own: adding a key to such a package that\n"
    "has an application or diagnostics record is refused (sign anew with --replace and every\n"
    "key).\n"
    "\n"
    "--security-counter N (0..4294967295, decimal or 0x hex; default 0) goes into every\n"
    "signature this call makes, and each signs it. A board with keys refuses to install a\n"
    "package whose counter is below its floor, and with verify=on passes such a slot over;\n"
    "mplaunch-confirm raises the floor to the counter of the application it confirms. Raise it for "
    "a release that mends a hole,\n"
    "so that the releases before it no longer install.\n"
    "\n"
    "Formats: a single key without a counter, on a package without signatures, makes format-1\n"
    "signatures (as launchers that check signatures but know no counter take them); anything\n"
    "else makes format-2 signatures, which those launchers refuse (a launcher that knows\n"
    "nothing of signatures passes both over). Every record must be intact. PACKAGE is replaced\n"
    "unless --output names another file; the output appears only when complete.\n"
    "\n"
    "Exit status: 0 signed, 1 damaged record, 2 usage or I/O error.\n";

}  // namespace

std::string sign_help() {
    return SIGN_HELP;
}

namespace {

void load_secret_key(const std::string& path, SecretKey& key) {
    std::string text = read_small_file(path);
    std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
    const std::size_t prefix = sizeof kSecretPrefix - 1;
    std::size_t got = 0;
    const bool ok = text.compare(0, prefix, kSecretPrefix) == 0 &&
                    sodium_hex2bin(seed.data(), seed.size(), text.c_str() + prefix,
                                   text.size() - prefix, "\n", &got, nullptr) == 0 &&
                    got == seed.size();
    sodium_memzero(text.data(), text.size());
    if (!ok) {
        throw Failure(EXIT_USAGE, path + ": not a private key made by mpimage keygen");
    }
    crypto_sign_seed_keypair(key.pk.data(), key.sk.data(), seed.data());
    sodium_memzero(seed.data(), seed.size());
}

// A whole signature record of `format` (with `counter` in format 2) over `covered` bytes of
// digest `digest`.
std::vector<std::uint8_t> signature_record(const SecretKey& key, signing::Scope scope,
                                           std::uint8_t format, std::uint32_t counter,
                                           std::uint64_t covered, const signing::Digest& digest) {
    const signing::Statement stmt = signing::statement(scope, covered, digest, format, counter);
    const bool counted = format == signing::kFormatCounter;
    std::vector<std::uint8_t> payload(
        counted ? signing::kCounterPayloadSize : signing::kSignaturePayloadSize, 0);
    payload[0] = format;
    payload[1] = signing::kAlgorithmEd25519Blake2b;
    payload[2] = static_cast<std::uint8_t>(scope);
    const signing::KeyId id = signing::key_id_of(key.pk);
    std::copy(id.begin(), id.end(), payload.begin() + 4);
    std::size_t at = 12;
    if (counted) {
        store_be32(std::span<std::uint8_t, 4>(payload.data() + 12, 4), counter);
        at = 16;
    }
    crypto_sign_detached(payload.data() + at, nullptr, stmt.data(), stmt.size(), key.sk.data());
    return host_tools::make_record(signing::IMAGE_SIGNATURE, 0, payload);
}

std::uint32_t parse_counter(const std::string& text) {
    const std::optional<std::uint32_t> value = parse_number(text);
    if (!value) {
        usage_error("--security-counter: expected 0..4294967295, got '" + text + "'");
    }
    return *value;
}

}  // namespace

int run_sign(const Args& args) {
    const host_tools::ParsedArgs parsed = host_tools::parse_args(
        args,
        {.command = "sign",
         .options =
             {{"--key", true}, {"--output", true}, {"--security-counter", true}, {"--replace"}},
         .max_positional = 1,
         .too_many = "sign takes one PACKAGE"},
        ARG_RULES);
    const std::string path = parsed.positional().empty() ? "" : parsed.positional()[0];
    const std::vector<std::string> key_paths = parsed.values("--key");
    const std::string output = parsed.value("--output").value_or("");
    if (path.empty() || key_paths.empty()) {
        usage_error("sign needs PACKAGE and --key NAME.key");
    }
    const std::optional<std::string> counter_text = parsed.value("--security-counter");
    const std::uint32_t counter = counter_text ? parse_counter(*counter_text) : 0;
    const bool replace = parsed.flag("--replace");
    need_crypto();
    std::vector<SecretKey> keys(key_paths.size());
    for (std::size_t i = 0; i < key_paths.size(); ++i) {
        load_secret_key(key_paths[i], keys[i]);
        for (std::size_t j = 0; j < i; ++j) {
            if (keys[j].pk == keys[i].pk) {
                usage_error("sign: " + key_paths[i] + " is given twice");
            }
        }
    }
    const InputFile file(path);

    std::vector<ProbedRecord> records;
    const WalkResult end = walk_records(
        [&file](std::uint64_t offset, std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) {
            return offset >= file.size() ? std::size_t{0} : file.read_at(offset, probe);
        },
        [&](const ProbedRecord& rec) {
            records.push_back(rec);
            return true;
        });
    if (end.end == WalkEnd::fault || end.tail != 0 || end.offset != file.size() ||
        records.empty()) {
        throw Failure(EXIT_DAMAGED, path +
                                        ": not a whole package (a record breaks the format, is "
                                        "cut short, or bytes follow the last record)");
    }

    // The signature records the package has, and which of them are its package signatures.
    std::vector<std::optional<signing::SignatureFields>> existing(records.size());
    bool any_signature = false;
    bool bootable = false;
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (records[i].header.magic == signing::IMAGE_SIGNATURE) {
            image::LoadedRecord loaded;
            if (image::load_record(file.source(), records[i].offset, records[i].header, loaded) ==
                image::LoadResult::loaded) {
                existing[i] = signing::parse_signature_record(loaded.bytes);
            }
            any_signature = true;
        } else {
            bootable = bootable || records[i].header.type() == IMAGE_APPLICATION ||
                       records[i].header.type() == IMAGE_DIAGS;
        }
    }
    const bool adding = any_signature && !replace;
    // Where its package signatures start (the end of the file when it has none).
    const std::uint64_t run_start =
        (adding ? signing::package_run_start(file.source(), records) : std::nullopt)
            .value_or(file.size());
    for (std::size_t i = 0; adding && i < records.size(); ++i) {
        const auto& f = existing[i];
        if (!f) {
            continue;
        }
        for (const SecretKey& key : keys) {
            if (f->key_id == signing::key_id_of(key.pk) && records[i].offset >= run_start) {
                usage_error("sign: " + path + " is signed by key id " +
                            signing::key_id_text(f->key_id) + " already (--replace signs anew)");
            }
        }
        if (bootable && records[i].offset >= run_start && f->format == signing::kFormatVersion) {
            usage_error("sign: " + path + ": its package signature by key id " +
                        signing::key_id_text(f->key_id) +
                        " covers the records' own signatures and would no longer hold; sign it "
                        "anew with every key (--replace --key OLD.key --key NEW.key)");
        }
    }
    const std::uint8_t format = !counter_text && keys.size() == 1 && !adding
                                    ? signing::kFormatVersion
                                    : signing::kFormatCounter;

    OutputFile out(output.empty() ? path : output);
    signing::Digester every;  // every byte written
    signing::Digester body;   // the records that are not signature records
    std::uint64_t written = 0;
    std::uint64_t body_length = 0;
    const auto emit = [&](std::span<const std::uint8_t> bytes, bool to_body) {
        out.write(bytes);
        every.update(bytes);
        written += bytes.size();
        if (to_body) {
            body.update(bytes);
            body_length += bytes.size();
        }
    };
    std::vector<std::uint8_t> package_run;
    std::size_t index = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const ProbedRecord& rec = records[i];
        const std::uint32_t length = rec.header.record_length();
        if (rec.header.magic == signing::IMAGE_SIGNATURE) {
            if (!adding) {
                continue;
            }
            std::vector<std::uint8_t> bytes(length);
            if (file.read_at(rec.offset, bytes) != bytes.size()) {
                io_error(path, "cannot read");
            }
            if (rec.offset >= run_start) {
                package_run.insert(package_run.end(), bytes.begin(), bytes.end());
            } else {
                emit(bytes, false);
            }
            continue;
        }
        signing::Digester own;
        std::uint8_t first4[4];
        if (file.read_at(rec.offset, first4) != sizeof first4) {
            io_error(path, "cannot read");
        }
        emit(first4, true);
        own.update(first4);
        const std::uint32_t crc = crc_of_range(file, rec.offset + 4, length - 4, CRC_START,
                                               [&](std::span<const std::uint8_t> piece) {
                                                   emit(piece, true);
                                                   own.update(piece);
                                               });
        if (crc != rec.header.crc) {
            throw Failure(EXIT_DAMAGED, path + ": record " + std::to_string(index) +
                                            " is damaged (CRC mismatch); nothing signed");
        }
        // The record's own signatures go after the ones it has (the next records of the walk).
        std::size_t next = i + 1;
        while (adding && next < records.size() &&
               records[next].header.magic == signing::IMAGE_SIGNATURE &&
               records[next].offset < run_start) {
            std::vector<std::uint8_t> bytes(records[next].header.record_length());
            if (file.read_at(records[next].offset, bytes) != bytes.size()) {
                io_error(path, "cannot read");
            }
            emit(bytes, false);
            ++next;
        }
        i = next - 1;
        if (rec.header.type() == IMAGE_APPLICATION || rec.header.type() == IMAGE_DIAGS) {
            const signing::Digest digest = own.final();
            for (const SecretKey& key : keys) {
                emit(signature_record(key, signing::Scope::record, format, counter, length, digest),
                     false);
            }
        }
        ++index;
    }
    // The package signatures: those it had (which still hold: they are format 2, or nothing
    // they cover changed), then one per key.
    if (!package_run.empty()) {
        emit(package_run, false);
    }
    const signing::Digest body_digest = body.final();
    for (const SecretKey& key : keys) {
        signing::Digester at_signature = every;
        const std::vector<std::uint8_t> sig =
            format == signing::kFormatCounter
                ? signature_record(key, signing::Scope::package, format, counter, body_length,
                                   body_digest)
                : signature_record(key, signing::Scope::package, format, counter, written,
                                   at_signature.final());
        emit(sig, false);
    }
    out.commit();
    std::string ids;
    for (const SecretKey& key : keys) {
        ids += (ids.empty() ? "" : ", ") + signing::key_id_text(signing::key_id_of(key.pk));
    }
    std::printf("%s: signed with key id %s, security counter %lu\n",
                (output.empty() ? path : output).c_str(), ids.c_str(),
                static_cast<unsigned long>(counter));
    return EXIT_GOOD;
}

}  // namespace mpimage
