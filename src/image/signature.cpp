#include "image/signature.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "base/byte_order.hpp"
#include "base/unique_fd.hpp"
#include "image/record.hpp"

namespace signing {

namespace {

static_assert(kPublicKeySize == crypto_sign_PUBLICKEYBYTES);
static_assert(kSecretKeySize == crypto_sign_SECRETKEYBYTES);
static_assert(kSignatureSize == crypto_sign_BYTES);
static_assert(kDigestSize >= crypto_generichash_BYTES_MIN &&
              kDigestSize <= crypto_generichash_BYTES_MAX);

// Ahead of the covered length and digest in every statement: no signature made for anything
// else (another program's, another scope's) can be passed off as one of these.
constexpr char kContext[13] = "mplaunch-sig";  // 12 bytes and its NUL, all signed

// Hashing reads the package in pieces of this size (page-aligned, see record_reader.hpp).
constexpr std::size_t kPiece = std::size_t{256} << 10;

// A key file is one short line; anything longer is not a key.
constexpr std::size_t kKeyFileMax = 256;

bool hex_digit(std::uint8_t c, std::uint8_t& value) {
    if (c >= '0' && c <= '9') {
        value = static_cast<std::uint8_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
        value = static_cast<std::uint8_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
        value = static_cast<std::uint8_t>(c - 'A' + 10);
    } else {
        return false;
    }
    return true;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// libsodium draws random bytes as it starts (the canary of its guarded allocator, which nothing
// here uses), and its own source takes them from getrandom: that waits until the kernel's random
// source is ready, and with none at all the library aborts. Nothing here needs random bytes
// (Ed25519 signing and checking are deterministic; mpimage keygen takes its seed from getrandom
// itself), so the library gets this source instead: what the kernel gives without waiting, zeros
// for the rest. It never waits and never fails the process.
void nonblocking_bytes(void* const buf, const std::size_t size) {
    auto* out = static_cast<std::uint8_t*>(buf);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::getrandom(out + done, size - done, GRND_NONBLOCK);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    std::memset(out + done, 0, size - done);
}

std::uint32_t nonblocking_random() {
    std::uint32_t value = 0;
    nonblocking_bytes(&value, sizeof value);
    return value;
}

const char* nonblocking_name() {
    return "mplaunch-nonblocking";
}

}  // namespace

Digester::Digester() noexcept {
    static_assert(sizeof state_ == sizeof(crypto_generichash_state) &&
                  alignof(Digester) >= alignof(crypto_generichash_state));
    crypto_generichash_init(reinterpret_cast<crypto_generichash_state*>(state_), nullptr, 0,
                            kDigestSize);
}

void Digester::update(std::span<const std::uint8_t> bytes) noexcept {
    crypto_generichash_update(reinterpret_cast<crypto_generichash_state*>(state_), bytes.data(),
                              bytes.size());
}

Digest Digester::final() noexcept {
    Digest d{};
    crypto_generichash_final(reinterpret_cast<crypto_generichash_state*>(state_), d.data(),
                             d.size());
    return d;
}

bool crypto_ready() noexcept {
    static const bool ready = [] {
        static randombytes_implementation source = {
            .implementation_name = nonblocking_name,
            .random = nonblocking_random,
            .stir = nullptr,
            .uniform = nullptr,
            .buf = nonblocking_bytes,
            .close = nullptr,
        };
        return randombytes_set_implementation(&source) == 0 && sodium_init() >= 0;
    }();
    return ready;
}

bool is_key_file_name(std::string_view name) noexcept {
    return name.size() > 4 && name.front() != '.' && name.ends_with(".pub");
}

std::optional<PublicKey> read_key_at(int dir_fd, const char* name) {
    // Checked before the open (no device is opened) and after it (nothing swapped in between).
    struct stat st {};
    if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    const base::UniqueFd fd(
        ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    std::uint8_t text[kKeyFileMax];
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    const ssize_t n = ::read(fd.get(), text, sizeof text);
    if (n <= 0) {
        return std::nullopt;
    }
    return parse_public_key(std::span<const std::uint8_t>(text, static_cast<std::size_t>(n)));
}

std::string printable_name(std::string_view name) {
    std::string out;
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += c;
        } else {
            static constexpr char kDigits[] = "0123456789abcdef";
            out += "\\x";
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        }
    }
    return out;
}

void report_damaged_keys(const KeyRing& ring, std::FILE* out) {
    for (const std::string& name : ring.damaged) {
        std::fprintf(out, "Key file %s is damaged, it verifies nothing.\n",
                     printable_name(name).c_str());
    }
}

KeyId key_id_of(const PublicKey& key) {
    const Digest d = digest_of(key);
    KeyId id{};
    std::copy_n(d.begin(), id.size(), id.begin());
    return id;
}

std::string key_id_text(const KeyId& id) {
    return hex(id);
}

std::optional<PublicKey> parse_public_key(std::span<const std::uint8_t> text) {
    static constexpr char kPrefix[] = "ed25519 ";
    constexpr std::size_t prefix = sizeof kPrefix - 1;
    std::size_t n = text.size();
    if (n > 0 && text[n - 1] == '\n') {
        --n;
    }
    if (n != prefix + 2 * kPublicKeySize || !std::equal(kPrefix, kPrefix + prefix, text.begin())) {
        return std::nullopt;
    }
    PublicKey key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        std::uint8_t hi = 0;
        std::uint8_t lo = 0;
        if (!hex_digit(text[prefix + 2 * i], hi) || !hex_digit(text[prefix + 2 * i + 1], lo)) {
            return std::nullopt;
        }
        key[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return key;
}

std::string public_key_text(const PublicKey& key) {
    return "ed25519 " + hex(key) + "\n";
}

std::optional<SignatureFields> parse_signature_record(std::span<const std::uint8_t> record) {
    if ((record.size() != kSignatureRecordSize && record.size() != kCounterRecordSize) ||
        !record_intact(record)) {
        return std::nullopt;
    }
    const RecordHeader h = parse_header16(record.first<RECORD_HEADER_SIZE>());
    const std::span<const std::uint8_t> p = h.payload(record);
    const bool counted = p.size() == kCounterPayloadSize;
    if (h.magic != IMAGE_SIGNATURE || h.id != 0 ||
        (p.size() != kSignaturePayloadSize && !counted) ||
        p[0] != (counted ? kFormatCounter : kFormatVersion) || p[3] != 0 ||
        (p[2] != static_cast<std::uint8_t>(Scope::package) &&
         p[2] != static_cast<std::uint8_t>(Scope::record))) {
        return std::nullopt;
    }
    SignatureFields f;
    f.format = p[0];
    f.algorithm = p[1];
    f.scope = static_cast<Scope>(p[2]);
    std::copy_n(p.begin() + 4, kKeyIdSize, f.key_id.begin());
    std::size_t at = 12;
    if (counted) {
        f.counter = load_be32(std::span<const std::uint8_t, 4>(p.data() + 12, 4));
        at = 16;
    }
    std::copy_n(p.begin() + static_cast<std::ptrdiff_t>(at), kSignatureSize, f.signature.begin());
    return f;
}

std::optional<Digest> digest_of_range(const image::ByteSource& source, std::uint64_t offset,
                                      std::uint64_t length) {
    Digester digester;
    const image::StreamResult r =
        image::stream_range(source, offset, length, kPiece, [&](std::span<const std::uint8_t> s) {
            digester.update(s);
            return true;
        });
    if (r.done != length || r.error != 0 || r.no_memory) {
        return std::nullopt;
    }
    return digester.final();
}

Digest digest_of(std::span<const std::uint8_t> bytes) {
    Digester digester;
    digester.update(bytes);
    return digester.final();
}

Statement statement(Scope scope, std::uint64_t length, const Digest& digest, std::uint8_t format,
                    std::uint32_t counter) {
    Statement s;
    std::uint8_t* b = s.data();
    std::copy_n(kContext, sizeof kContext, b);
    b[13] = kAlgorithmEd25519Blake2b;
    b[14] = static_cast<std::uint8_t>(scope);
    // Format 1 signs a 0 here and ends after the digest.
    b[15] = format == kFormatCounter ? kFormatCounter : 0;
    store_be32(std::span<std::uint8_t, 4>(b + 16, 4), static_cast<std::uint32_t>(length >> 32));
    store_be32(std::span<std::uint8_t, 4>(b + 20, 4), static_cast<std::uint32_t>(length));
    std::copy(digest.begin(), digest.end(), b + 24);
    if (format == kFormatCounter) {
        store_be32(std::span<std::uint8_t, 4>(b + 56, 4), counter);
        s.resize(kCounterStatementSize);
    }
    return s;
}

Statement statement_for(const SignatureFields& fields, std::uint64_t length, const Digest& digest) {
    return statement(fields.scope, length, digest, fields.format, fields.counter);
}

std::vector<RunEntry> read_run(const image::ByteSource& source, std::uint64_t offset, Scope scope) {
    std::vector<RunEntry> run;
    while (run.size() < kMaxRun) {
        std::uint8_t probe[RECORD_PROBE_SIZE] = {};
        if (image::read_probe(source, offset, probe) != sizeof probe) {
            break;
        }
        const RecordHeader h = parse_probe(probe);
        const std::uint32_t size = h.record_length();
        image::LoadedRecord rec;
        if (h.magic != IMAGE_SIGNATURE ||
            (size != kSignatureRecordSize && size != kCounterRecordSize) ||
            image::load_record(source, offset, h, rec) != image::LoadResult::loaded) {
            break;
        }
        const std::optional<SignatureFields> fields = parse_signature_record(rec.bytes);
        if (!fields || fields->scope != scope) {
            break;
        }
        run.push_back({offset, size, *fields});
        offset += size;
    }
    return run;
}

KeyRing load_keys(const std::string& dir) {
    KeyRing ring;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return ring;
    }
    while (const dirent* e = ::readdir(d)) {
        if (!is_key_file_name(e->d_name)) {
            continue;
        }
        ++ring.present;
        if (auto key = read_key_at(::dirfd(d), e->d_name)) {
            ring.keys.push_back(*key);
        } else {
            ring.damaged.emplace_back(e->d_name);
        }
    }
    ::closedir(d);
    std::sort(ring.damaged.begin(), ring.damaged.end());
    return ring;
}

KeyMatch check_signature(const KeyRing& ring, const SignatureFields& fields,
                         const Statement& stmt) {
    KeyMatch result = KeyMatch::unknown_key;
    for (const PublicKey& key : ring.keys) {
        if (key_id_of(key) != fields.key_id) {
            continue;
        }
        if (fields.algorithm == kAlgorithmEd25519Blake2b && crypto_ready() &&
            crypto_sign_verify_detached(fields.signature.data(), stmt.data(), stmt.size(),
                                        key.data()) == 0) {
            return KeyMatch::holds;
        }
        result = KeyMatch::does_not_hold;
    }
    return result;
}

std::vector<std::uint8_t> load_own_signatures(const image::ByteSource& source,
                                              std::uint64_t offset) {
    std::vector<std::uint8_t> bytes;
    for (const RunEntry& e : read_run(source, offset, Scope::record)) {
        const std::size_t at = bytes.size();
        bytes.resize(at + e.size);
        if (source.read_at(e.offset, std::span<std::uint8_t>(bytes.data() + at, e.size)) !=
            static_cast<ssize_t>(e.size)) {
            bytes.resize(at);
            break;
        }
    }
    return bytes;
}

const char* verdict_line(Verdict verdict) noexcept {
    switch (verdict) {
        case Verdict::not_signed:
            return "Package is not signed, voiding download";
        case Verdict::unknown_key:
            return "Package is signed by an unknown key, voiding download";
        case Verdict::does_not_hold:
            return "Package signature does not hold, voiding download";
        case Verdict::damaged_key:
            return "Package is signed by no readable key of the board, voiding download";
        case Verdict::no_crypto:
            return "Package signature cannot be checked, voiding download";
        case Verdict::no_keys:
        case Verdict::holds:
            break;
    }
    return nullptr;
}

namespace {

// The verdict of a run of signatures, given each one's match: holds when one holds; otherwise a
// signature by a key of the board that does not hold is named before an unknown key.
struct RunVerdict {
    KeyMatch match = KeyMatch::unknown_key;
    std::uint32_t counter = 0;
    KeyId key{};  // of a holding signature with the highest counter

    void add(KeyMatch m, const SignatureFields& f) {
        if (m == KeyMatch::holds) {
            if (match != KeyMatch::holds || f.counter > counter) {
                counter = f.counter;
                key = f.key_id;
            }
            match = KeyMatch::holds;
        } else if (m == KeyMatch::does_not_hold && match != KeyMatch::holds) {
            match = KeyMatch::does_not_hold;
        }
    }
};

}  // namespace

std::optional<std::uint64_t> package_run_start(const image::ByteSource& package,
                                               const std::vector<ProbedRecord>& records) {
    std::size_t first = records.size();
    while (first > 0 && records[first - 1].header.magic == IMAGE_SIGNATURE &&
           records.size() - first < kMaxRun) {
        image::LoadedRecord rec;
        if (image::load_record(package, records[first - 1].offset, records[first - 1].header,
                               rec) != image::LoadResult::loaded) {
            break;
        }
        const std::optional<SignatureFields> f = parse_signature_record(rec.bytes);
        if (!f || f->scope != Scope::package) {
            break;
        }
        --first;
    }
    if (first == records.size()) {
        return std::nullopt;
    }
    return records[first].offset;
}

std::optional<std::vector<Statement>> package_statements(const image::ByteSource& package,
                                                         const std::vector<ProbedRecord>& records,
                                                         const std::vector<RunEntry>& run) {
    Digester every;  // every byte from the start
    Digester body;   // the records before the run that are not signature records
    std::uint64_t body_length = 0;
    std::uint64_t fed = 0;
    const auto feed = [&](std::uint64_t offset, std::uint64_t length, bool to_body) {
        const image::StreamResult r = image::stream_range(package, offset, length, kPiece,
                                                          [&](std::span<const std::uint8_t> s) {
                                                              every.update(s);
                                                              if (to_body) {
                                                                  body.update(s);
                                                              }
                                                              return true;
                                                          });
        fed = offset + length;
        return r.done == length && r.error == 0 && !r.no_memory;
    };
    const std::uint64_t run_start = run.empty() ? package.size() : run.front().offset;
    for (const ProbedRecord& rec : records) {
        if (rec.offset >= run_start) {
            break;
        }
        const std::uint64_t length = rec.header.record_length();
        const bool to_body = rec.header.magic != IMAGE_SIGNATURE;
        if (!feed(rec.offset, length, to_body)) {
            return std::nullopt;
        }
        body_length += to_body ? length : 0;
    }
    const Digest body_digest = body.final();
    std::vector<Statement> statements;
    for (const RunEntry& e : run) {
        if (fed != e.offset && !feed(fed, e.offset - fed, false)) {
            return std::nullopt;
        }
        if (e.fields.format == kFormatCounter) {
            statements.push_back(statement_for(e.fields, body_length, body_digest));
        } else {
            Digester at_signature = every;
            statements.push_back(statement_for(e.fields, e.offset, at_signature.final()));
        }
    }
    return statements;
}

Verdict check_package(const image::ByteSource& package, const KeyRing& ring,
                      std::uint32_t* counter) {
    if (ring.present == 0) {
        return Verdict::no_keys;
    }
    if (!crypto_ready()) {
        return Verdict::no_crypto;
    }
    // The walk must reach the end of the file exactly; the package signatures are the run of
    // signature records that ends it.
    std::vector<ProbedRecord> records;
    const WalkResult walk = walk_records(
        [&](std::uint64_t offset, std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) {
            return image::read_probe(package, offset, probe);
        },
        [&](const ProbedRecord& rec) {
            records.push_back(rec);
            return true;
        });
    if (walk.end == WalkEnd::fault) {
        return Verdict::does_not_hold;
    }
    if (records.empty() || records.back().header.magic != IMAGE_SIGNATURE || walk.tail != 0 ||
        walk.offset != package.size()) {
        return Verdict::not_signed;
    }
    const std::optional<std::uint64_t> start = package_run_start(package, records);
    if (!start) {
        return Verdict::does_not_hold;  // the last record is no package signature
    }
    const std::vector<RunEntry> run = read_run(package, *start, Scope::package);
    if (run.empty() || run.back().offset + run.back().size != package.size()) {
        return Verdict::does_not_hold;
    }
    const std::optional<std::vector<Statement>> statements =
        package_statements(package, records, run);
    if (!statements) {
        return Verdict::does_not_hold;
    }
    RunVerdict verdict;
    for (std::size_t i = 0; i < run.size(); ++i) {
        verdict.add(check_signature(ring, run[i].fields, (*statements)[i]), run[i].fields);
    }
    switch (verdict.match) {
        case KeyMatch::holds:
            if (counter != nullptr) {
                *counter = verdict.counter;
            }
            return Verdict::holds;
        case KeyMatch::unknown_key:
            return ring.damaged.empty() ? Verdict::unknown_key : Verdict::damaged_key;
        case KeyMatch::does_not_hold:
            break;
    }
    return Verdict::does_not_hold;
}

bool check_slot_record(const image::ByteSource& slot_file, std::uint64_t offset,
                       std::span<const std::uint8_t> record, const std::string& key_dir,
                       std::uint32_t* counter) {
    const KeyRing ring = load_keys(key_dir);
    if (ring.keys.empty()) {
        report_damaged_keys(ring, stderr);
        return false;
    }
    if (!crypto_ready()) {
        std::fprintf(stderr, "%s\n", kNoCryptoLine);
        return false;
    }
    const RecordSignatures verdict = inspect_record_signatures(slot_file, offset, record, ring);
    const bool holds = verdict.match == KeyMatch::holds;
    if (!holds) {
        report_damaged_keys(ring, stderr);
    } else if (counter != nullptr) {
        *counter = verdict.counter;
    }
    return holds;
}

RecordSignatures inspect_record_signatures(const image::ByteSource& source, std::uint64_t offset,
                                           std::span<const std::uint8_t> record,
                                           const KeyRing& ring) {
    RecordSignatures result;
    if (!crypto_ready()) {
        return result;
    }
    const Digest digest = digest_of(record);
    RunVerdict verdict;
    for (const RunEntry& e : read_run(source, offset + record.size(), Scope::record)) {
        ++result.count;
        verdict.add(check_signature(ring, e.fields, statement_for(e.fields, record.size(), digest)),
                    e.fields);
    }
    result.match = verdict.match;
    if (verdict.match == KeyMatch::holds) {
        result.counter = verdict.counter;
        result.key = verdict.key;
    }
    return result;
}

}  // namespace signing
