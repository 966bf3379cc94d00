// Signed packages: signature records, the board's public keys, and the checks of the installer
// and the boot path.
//
// A signature record is a plain record of type IMAGE_SIGNATURE whose payload names the format,
// the algorithm, what it covers (the package before it, or the record before it), the signing
// key's id and an Ed25519 signature; a format-2 record also carries a security counter, which
// it signs. Launchers that know nothing of the type pass it over as they pass over every unknown
// type. What Ed25519 signs is a statement: a fixed context, the algorithm, scope and format
// bytes, the number of bytes covered and their 32-byte BLAKE2b digest (the cheapest of
// libsodium's hashes on the board's 32-bit core: see doc/performance.md), and the counter.
//
// Signatures come in runs, so that a package can be signed by several keys while boards move
// from one key to the next: a run of record signatures right after an application or
// diagnostics record, each covering that record, and a run of package signatures ending the
// package, each covering every byte before itself. A run holds when one of its signatures holds
// under a key of the board; its counter is the highest that such a signature carries (0 for a
// format-1 signature), so that leaving a signature out can only lower it.
//
// The board holds public keys only, in /etc/mplaunch/keys (see is_key_file_name and read_key_at
// for which entries are keys). Signing is the release host's (mpimage sign); nothing here can
// sign, and nothing here draws random bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/record_reader.hpp"

namespace signing {

inline constexpr std::uint32_t IMAGE_SIGNATURE = 0x07504F4Cu;

inline constexpr std::uint8_t kFormatVersion = 1;  // no counter: counts 0
inline constexpr std::uint8_t kFormatCounter = 2;  // with a security counter
inline constexpr std::uint8_t kAlgorithmEd25519Blake2b = 1;

enum class Scope : std::uint8_t {
    package = 1,  // every byte of the package before the record, which ends the package
    record = 2,   // the record right before its run (an application record's own signature)
};

inline constexpr std::size_t kKeyIdSize = 8;
inline constexpr std::size_t kPublicKeySize = 32;
inline constexpr std::size_t kSecretKeySize = 64;
inline constexpr std::size_t kSignatureSize = 64;
inline constexpr std::size_t kDigestSize = 32;
inline constexpr std::size_t kStatementSize = 56;         // format 1
inline constexpr std::size_t kCounterStatementSize = 60;  // format 2: and the counter
inline constexpr std::uint32_t kSignaturePayloadSize = 12 + kSignatureSize;
inline constexpr std::uint32_t kSignatureRecordSize = 16 + kSignaturePayloadSize;
inline constexpr std::uint32_t kCounterPayloadSize = 16 + kSignatureSize;
inline constexpr std::uint32_t kCounterRecordSize = 16 + kCounterPayloadSize;
// The most signatures of one run that are read: more keys than a rotation needs.
inline constexpr std::size_t kMaxRun = 16;

// Where a board keeps its public keys.
inline constexpr const char* kKeysDir = "/etc/mplaunch/keys";

using KeyId = std::array<std::uint8_t, kKeyIdSize>;
using PublicKey = std::array<std::uint8_t, kPublicKeySize>;
using Digest = std::array<std::uint8_t, kDigestSize>;

// What a key signs: 56 bytes (format 1) or 60 (format 2).
class Statement {
public:
    const std::uint8_t* data() const noexcept { return bytes_.data(); }
    std::uint8_t* data() noexcept { return bytes_.data(); }
    std::size_t size() const noexcept { return size_; }
    void resize(std::size_t size) noexcept { size_ = size; }

private:
    std::array<std::uint8_t, kCounterStatementSize> bytes_{};
    std::size_t size_ = kStatementSize;
};

struct SignatureFields {
    std::uint8_t format = kFormatVersion;
    std::uint8_t algorithm = 0;
    Scope scope = Scope::package;
    KeyId key_id{};
    std::uint32_t counter = 0;  // format 1: 0
    std::array<std::uint8_t, kSignatureSize> signature{};
};

// False when libsodium cannot start: every check then fails closed. Its start-up never waits for
// the kernel's random source and never aborts for want of one: the library is given a source of
// random bytes of our own first (see signature.cpp), since checking a signature needs none.
bool crypto_ready() noexcept;
// The one line said when it cannot start.
inline constexpr const char* kNoCryptoLine =
    "Signature checks unavailable: libsodium did not start.";

// The first 8 bytes of the key's digest.
KeyId key_id_of(const PublicKey& key);
// 16 lower-case hexadecimal digits.
std::string key_id_text(const KeyId& id);

// A public key file: "ed25519 " and 64 hexadecimal digits, an optional newline.
std::optional<PublicKey> parse_public_key(std::span<const std::uint8_t> text);
std::string public_key_text(const PublicKey& key);

// The fields of a whole signature record (header included): nullopt unless its type (plain
// header), length (92 bytes for format 1, 96 for format 2), CRC, format byte and scope are right
// and its header id and reserved byte are 0, so that a signed package has one encoding only.
std::optional<SignatureFields> parse_signature_record(std::span<const std::uint8_t> record);

// The digest of the bytes a signature covers, fed piece by piece.
class Digester {
public:
    Digester() noexcept;
    void update(std::span<const std::uint8_t> bytes) noexcept;
    Digest final() noexcept;

private:
    alignas(64) std::uint8_t state_[384];  // libsodium's crypto_generichash_state
};

// The digest of `length` bytes of `source` from `offset`; nullopt when the source ends early or
// a read fails.
std::optional<Digest> digest_of_range(const image::ByteSource& source, std::uint64_t offset,
                                      std::uint64_t length);
Digest digest_of(std::span<const std::uint8_t> bytes);

// What the key signs for `scope`: covering `length` bytes of digest `digest`; in format 2 the
// counter too.
Statement statement(Scope scope, std::uint64_t length, const Digest& digest,
                    std::uint8_t format = kFormatVersion, std::uint32_t counter = 0);

// The statement that the record's own fields name (its scope, format and counter).
Statement statement_for(const SignatureFields& fields, std::uint64_t length, const Digest& digest);

// A run of signature records of `scope` from `offset` on: each sound one in turn, up to the first
// record that is not one (or kMaxRun of them).
struct RunEntry {
    std::uint64_t offset = 0;
    std::uint32_t size = 0;
    SignatureFields fields;
};
std::vector<RunEntry> read_run(const image::ByteSource& source, std::uint64_t offset, Scope scope);

// Where a package's run of package signatures starts: the offset of the first of the trailing
// signature records of `records` (the walk's) that read as package signatures; nullopt when the
// last record is none.
std::optional<std::uint64_t> package_run_start(const image::ByteSource& package,
                                               const std::vector<ProbedRecord>& records);

// What each package signature of `run` covers, in one pass over the package: a format-1
// signature every byte before itself; a format-2 signature every record before the run that is
// not a signature record (so that adding a key's record signatures leaves it holding). The
// statement each must sign; nullopt when the package cannot be read.
std::optional<std::vector<Statement>> package_statements(const image::ByteSource& package,
                                                         const std::vector<ProbedRecord>& records,
                                                         const std::vector<RunEntry>& run);

// The one rule for which entries of a key directory are keys, shared by the board and mpboard
// keys: a name that ends in ".pub", has more before it and does not start with a dot. Every
// such entry is a key file; read_key_at says whether it holds a key.
bool is_key_file_name(std::string_view name) noexcept;

// The key in key file `name` of the directory `dir_fd`: a regular file (no link is followed, a
// FIFO is not waited on) holding one public key line. nullopt: a damaged key file.
std::optional<PublicKey> read_key_at(int dir_fd, const char* name);

// The keys found in a key directory. `present` counts every key file, damaged or not, so that a
// board with a damaged key file refuses packages rather than taking them unchecked; `damaged`
// names those that hold no key.
struct KeyRing {
    std::size_t present = 0;
    std::vector<PublicKey> keys;
    std::vector<std::string> damaged;
};
KeyRing load_keys(const std::string& dir);

// One line per damaged key file of `ring` on `out`: "Key file NAME is damaged, it verifies
// nothing." with the name escaped (see printable_name).
void report_damaged_keys(const KeyRing& ring, std::FILE* out);

// `name` with every byte outside printable ASCII, and the backslash, as \xNN: a file name that
// reaches a terminal carries no control character or escape sequence.
std::string printable_name(std::string_view name);

// Whether one of `ring`'s keys with the record's key id signed `stmt` with `fields`.
enum class KeyMatch : std::uint8_t { holds, unknown_key, does_not_hold };
KeyMatch check_signature(const KeyRing& ring, const SignatureFields& fields, const Statement& stmt);

// The bytes of the run of record signatures (Scope::record) at `offset`, back to back: what
// travels with an application record into its slot file; empty when there is none.
std::vector<std::uint8_t> load_own_signatures(const image::ByteSource& source,
                                              std::uint64_t offset);

// The installer's verdict on a whole package.
enum class Verdict : std::uint8_t {
    no_keys,        // no key on the board: install as without signatures
    holds,          // the package signature holds under a key of the board
    not_signed,     // no package signature ends the package
    unknown_key,    // signed by a key the board does not hold
    does_not_hold,  // the signature, or the package it covers, is not what the key signed
    damaged_key,    // signed by no readable key of the board, and a key file is damaged
    no_crypto,      // libsodium cannot start: nothing can be checked
};

// The one line the installer prints for a refusal; nullptr for no_keys and holds.
const char* verdict_line(Verdict verdict) noexcept;

// The installer's check, before it writes anything: the package must end with a run of package
// signature records, each over every byte before itself, one of which a key of `ring` made.
// With `holds`, *counter is the highest counter of the signatures that hold.
Verdict check_package(const image::ByteSource& package, const KeyRing& ring,
                      std::uint32_t* counter = nullptr);

// The boot path's check of a slot file (or of the rescue partition): the record at `offset`
// (whole, in `record`) must be followed by a run of its own signature records, one of which a
// key of `key_dir` made; *counter (when given) is then the highest counter of those that hold.
// No key on the board: fails. A failure for a damaged key file or for libsodium not starting
// says so on standard error, one line each, before the caller's own line.
bool check_slot_record(const image::ByteSource& slot_file, std::uint64_t offset,
                       std::span<const std::uint8_t> record, const std::string& key_dir,
                       std::uint32_t* counter = nullptr);

// What the run of own signatures after the record at `offset` (whole in `record`) says under
// `ring`, for a report; prints nothing. `count` signatures were read; with `holds`, `counter` is
// the highest counter among those that hold and `key` the id of the key that made it.
struct RecordSignatures {
    std::size_t count = 0;
    KeyMatch match = KeyMatch::unknown_key;
    std::uint32_t counter = 0;
    std::optional<KeyId> key;
};
RecordSignatures inspect_record_signatures(const image::ByteSource& source, std::uint64_t offset,
                                           std::span<const std::uint8_t> record,
                                           const KeyRing& ring);

}  // namespace signing
