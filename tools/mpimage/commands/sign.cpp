// mpimage sign: a package signed with a private key.
//
// The private key lives in NAME.key on the release host and nowhere else; the board holds
// NAME.pub. A package is signed by streaming it: every record is copied and hashed, a record the
// boot path can boot (application, diagnostics) gets its own signature record right after it, and
// a package signature record over everything before it ends the package.

#include <sodium.h>

#include <array>
#include <cstdio>
#include <cstring>

#include "commands.hpp"
#include "common/record_writer.hpp"
#include "crc/crc.hpp"
#include "image/record.hpp"
#include "key_files.hpp"
#include "package_file.hpp"

namespace mpimage {

namespace {

const char* const HELP =
    "usage: mpimage sign PACKAGE --key NAME.key [--output OUT]\n"
    "\n"
    "Signs a package with the private key NAME.key: each application (and diagnostics) record\n"
    "gets a signature record of its own right after it (it travels with an application record\n"
    "into the image slot file, where a board with verify=on checks it before it boots), and a\n"
    "package signature record over every byte before it ends the package. Signature\n"
    "records already in PACKAGE are dropped first, so signing again replaces them. Every record\n"
    "must be intact. PACKAGE is replaced unless --output names another file; the output\n"
    "appears only when complete.\n"
    "\n"
    "Launchers that know nothing of signatures pass signature records over: a signed package\n"
    "installs and boots on them as it did unsigned.\n"
    "\n"
    "Exit status: 0 signed, 1 damaged record, 2 usage or I/O error.\n";

}  // namespace

std::string sign_help() {
    return HELP;
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

// A whole signature record over `covered` bytes of digest `digest`.
std::vector<std::uint8_t> signature_record(const SecretKey& key, signing::Scope scope,
                                           std::uint64_t covered, const signing::Digest& digest) {
    const signing::Statement stmt = signing::statement(scope, covered, digest);
    std::vector<std::uint8_t> payload(signing::kSignaturePayloadSize, 0);
    payload[0] = signing::kFormatVersion;
    payload[1] = signing::kAlgorithmEd25519Blake2b;
    payload[2] = static_cast<std::uint8_t>(scope);
    const signing::KeyId id = signing::key_id_of(key.pk);
    std::copy(id.begin(), id.end(), payload.begin() + 4);
    crypto_sign_detached(payload.data() + 12, nullptr, stmt.data(), stmt.size(), key.sk.data());
    return host_tools::make_record(signing::IMAGE_SIGNATURE, 0, payload);
}

}  // namespace

int run_sign(const Args& args) {
    const host_tools::ParsedArgs parsed =
        host_tools::parse_args(args,
                               {.command = "sign",
                                .options = {{"--key", true}, {"--output", true}},
                                .max_positional = 1,
                                .too_many = "sign takes one PACKAGE"},
                               ARG_RULES);
    const std::string path = parsed.positional().empty() ? "" : parsed.positional()[0];
    const std::string key_path = parsed.value("--key").value_or("");
    const std::string output = parsed.value("--output").value_or("");
    if (path.empty() || key_path.empty()) {
        usage_error("sign needs PACKAGE and --key NAME.key");
    }
    need_crypto();
    SecretKey key;
    load_secret_key(key_path, key);
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

    OutputFile out(output.empty() ? path : output);
    signing::Digester package;
    std::uint64_t written = 0;
    const auto emit = [&](std::span<const std::uint8_t> bytes) {
        out.write(bytes);
        package.update(bytes);
        written += bytes.size();
    };
    std::size_t index = 0;
    for (const ProbedRecord& rec : records) {
        if (rec.header.magic == signing::IMAGE_SIGNATURE) {
            continue;
        }
        const std::uint32_t length = rec.header.record_length();
        signing::Digester own;
        std::uint8_t first4[4];
        if (file.read_at(rec.offset, first4) != sizeof first4) {
            io_error(path, "cannot read");
        }
        emit(first4);
        own.update(first4);
        const std::uint32_t crc = crc_of_range(file, rec.offset + 4, length - 4, CRC_START,
                                               [&](std::span<const std::uint8_t> piece) {
                                                   emit(piece);
                                                   own.update(piece);
                                               });
        if (crc != rec.header.crc) {
            throw Failure(EXIT_DAMAGED, path + ": record " + std::to_string(index) +
                                            " is damaged (CRC mismatch); nothing signed");
        }
        if (rec.header.type() == IMAGE_APPLICATION || rec.header.type() == IMAGE_DIAGS) {
            emit(signature_record(key, signing::Scope::record, length, own.final()));
        }
        ++index;
    }
    const std::uint64_t covered = written;
    out.write(signature_record(key, signing::Scope::package, covered, package.final()));
    out.commit();
    std::printf("%s: signed with key id %s\n", (output.empty() ? path : output).c_str(),
                signing::key_id_text(signing::key_id_of(key.pk)).c_str());
    return EXIT_GOOD;
}

}  // namespace mpimage
