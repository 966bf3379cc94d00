// mpimage keygen and sign, and the signature findings that verify and list report.
//
// The private key lives in NAME.key on the release host and nowhere else; the board holds
// NAME.pub. A package is signed by streaming it: every record is copied and hashed, a record the
// boot path can boot (application, diagnostics) gets its own signature record right after it, and
// a package signature record over everything before it ends the package.

#include "sign.hpp"

#include <fcntl.h>
#include <sodium.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "commands.hpp"
#include "common/record_writer.hpp"
#include "crc/crc.hpp"
#include "image/record.hpp"

namespace mpimage {

const char* const KEYGEN_HELP =
    "usage: mpimage keygen NAME\n"
    "\n"
    "Makes an Ed25519 key pair for signing packages: NAME.key, the private key (mode 0600;\n"
    "keep it on the release host, never on a board) and NAME.pub, the public key that boards\n"
    "hold in /etc/mplaunch/keys. Neither file may exist already: keygen never replaces a key.\n"
    "\n"
    "Exit status: 0 written, 2 usage or I/O error (an existing file included).\n";

const char* const SIGN_HELP =
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

namespace {

constexpr char kSecretPrefix[] = "ed25519-secret ";

std::string read_small_file(const std::string& path) {
    const base::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        io_error(path, "cannot open");
    }
    char text[512];
    const ssize_t n = ::read(fd.get(), text, sizeof text);
    if (n < 0) {
        io_error(path, "cannot read");
    }
    std::string out(text, static_cast<std::size_t>(n));
    sodium_memzero(text, sizeof text);
    return out;
}

// Creates `path` with `mode`, never over an existing file, and writes `text` to it.
void write_new_file(const std::string& path, const std::string& text, mode_t mode) {
    base::UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0) {
        io_error(path,
                 errno == EEXIST ? "exists already; keygen never replaces a key" : "cannot create");
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    if (!base::write_all(fd.get(), std::span<const std::uint8_t>(bytes, text.size())) ||
        ::fchmod(fd.get(), mode) != 0 || fd.close() != 0) {
        ::unlink(path.c_str());
        io_error(path, "cannot write");
    }
}

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out(bytes.size() * 2 + 1, '\0');
    sodium_bin2hex(out.data(), out.size(), bytes.data(), bytes.size());
    out.pop_back();
    return out;
}

struct SecretKey {
    std::array<std::uint8_t, signing::kSecretKeySize> sk{};
    signing::PublicKey pk{};
    ~SecretKey() { sodium_memzero(sk.data(), sk.size()); }
};

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

void need_crypto() {
    if (!signing::crypto_ready()) {
        throw Failure(EXIT_USAGE, "libsodium could not be initialised");
    }
}

}  // namespace

int run_keygen(const Args& args) {
    if (args.size() != 1 || args[0].empty() || args[0].rfind("--", 0) == 0) {
        usage_error("keygen needs one NAME");
    }
    need_crypto();
    // The seed straight from the kernel, waiting for its random source if need be: libsodium's
    // own source is one that never waits (see signature.cpp) and is not for keys.
    std::array<std::uint8_t, crypto_sign_SEEDBYTES> fresh{};
    for (std::size_t got = 0; got < fresh.size();) {
        const ssize_t n = ::getrandom(fresh.data() + got, fresh.size() - got, 0);
        if (n < 0 && errno != EINTR) {
            throw Failure(EXIT_USAGE, "no random bytes for a key: " + std::string(strerror(errno)));
        }
        got += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    SecretKey key;
    crypto_sign_seed_keypair(key.pk.data(), key.sk.data(), fresh.data());
    sodium_memzero(fresh.data(), fresh.size());
    const std::span<const std::uint8_t> seed(key.sk.data(), crypto_sign_SEEDBYTES);
    std::string secret = kSecretPrefix + hex(seed) + "\n";
    const std::string name = args[0];
    write_new_file(name + ".key", secret, 0600);
    sodium_memzero(secret.data(), secret.size());
    try {
        write_new_file(name + ".pub", signing::public_key_text(key.pk), 0644);
    } catch (...) {
        ::unlink((name + ".key").c_str());
        throw;
    }
    std::printf("%s.key, %s.pub: key id %s\n", name.c_str(), name.c_str(),
                signing::key_id_text(signing::key_id_of(key.pk)).c_str());
    return EXIT_GOOD;
}

int run_sign(const Args& args) {
    std::string path;
    std::string key_path;
    std::string output;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if ((a == "--key" || a == "--output") && i + 1 < args.size()) {
            (a == "--key" ? key_path : output) = args[++i];
        } else if (a.rfind("--", 0) == 0) {
            usage_error("sign: unknown option or missing value '" + a + "'");
        } else if (path.empty()) {
            path = a;
        } else {
            usage_error("sign takes one PACKAGE");
        }
    }
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
