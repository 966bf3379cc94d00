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
    if (record.size() != kSignatureRecordSize || !record_intact(record)) {
        return std::nullopt;
    }
    const RecordHeader h = parse_header16(record.first<RECORD_HEADER_SIZE>());
    const std::span<const std::uint8_t> p = h.payload(record);
    if (h.magic != IMAGE_SIGNATURE || h.id != 0 || p.size() != kSignaturePayloadSize ||
        p[0] != kFormatVersion || p[3] != 0 ||
        (p[2] != static_cast<std::uint8_t>(Scope::package) &&
         p[2] != static_cast<std::uint8_t>(Scope::record))) {
        return std::nullopt;
    }
    SignatureFields f;
    f.algorithm = p[1];
    f.scope = static_cast<Scope>(p[2]);
    std::copy_n(p.begin() + 4, kKeyIdSize, f.key_id.begin());
    std::copy_n(p.begin() + 12, kSignatureSize, f.signature.begin());
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

Statement statement(Scope scope, std::uint64_t length, const Digest& digest) {
    Statement s{};
    std::copy_n(kContext, sizeof kContext, s.begin());
    s[13] = kAlgorithmEd25519Blake2b;
    s[14] = static_cast<std::uint8_t>(scope);
    s[15] = 0;
    store_be32(std::span<std::uint8_t, 4>(s.data() + 16, 4),
               static_cast<std::uint32_t>(length >> 32));
    store_be32(std::span<std::uint8_t, 4>(s.data() + 20, 4), static_cast<std::uint32_t>(length));
    std::copy(digest.begin(), digest.end(), s.begin() + 24);
    return s;
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

void load_own_signature(const image::ByteSource& source, std::uint64_t offset,
                        image::LoadedRecord& out) {
    std::uint8_t probe[RECORD_PROBE_SIZE] = {};
    if (image::read_probe(source, offset, probe) != sizeof probe) {
        return;
    }
    const RecordHeader h = parse_probe(probe);
    if (h.magic != IMAGE_SIGNATURE || h.record_length() != kSignatureRecordSize ||
        image::load_record(source, offset, h, out) != image::LoadResult::loaded) {
        out = {};
        return;
    }
    const std::optional<SignatureFields> fields = parse_signature_record(out.bytes);
    if (!fields || fields->scope != Scope::record) {
        out = {};
    }
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

Verdict check_package(const image::ByteSource& package, const KeyRing& ring) {
    if (ring.present == 0) {
        return Verdict::no_keys;
    }
    if (!crypto_ready()) {
        return Verdict::no_crypto;
    }
    // The last record the walk reaches must be the package signature, and must end the file.
    ProbedRecord last;
    bool any = false;
    const WalkResult walk = walk_records(
        [&](std::uint64_t offset, std::span<std::uint8_t, RECORD_PROBE_SIZE> probe) {
            return image::read_probe(package, offset, probe);
        },
        [&](const ProbedRecord& rec) {
            last = rec;
            any = true;
            return true;
        });
    if (walk.end == WalkEnd::fault) {
        return Verdict::does_not_hold;
    }
    if (!any || last.header.magic != IMAGE_SIGNATURE || walk.tail != 0 ||
        walk.offset != package.size()) {
        return Verdict::not_signed;
    }
    image::LoadedRecord rec;
    if (image::load_record(package, last.offset, last.header, rec) != image::LoadResult::loaded) {
        return Verdict::does_not_hold;
    }
    const std::optional<SignatureFields> fields = parse_signature_record(rec.bytes);
    if (!fields || fields->scope != Scope::package) {
        return Verdict::does_not_hold;
    }
    const std::optional<Digest> digest = digest_of_range(package, 0, last.offset);
    if (!digest) {
        return Verdict::does_not_hold;
    }
    switch (check_signature(ring, *fields, statement(Scope::package, last.offset, *digest))) {
        case KeyMatch::holds:
            return Verdict::holds;
        case KeyMatch::unknown_key:
            return ring.damaged.empty() ? Verdict::unknown_key : Verdict::damaged_key;
        case KeyMatch::does_not_hold:
            break;
    }
    return Verdict::does_not_hold;
}

bool check_slot_record(const image::ByteSource& slot_file, std::uint64_t offset,
                       std::span<const std::uint8_t> record, const std::string& key_dir) {
    const KeyRing ring = load_keys(key_dir);
    if (ring.keys.empty()) {
        report_damaged_keys(ring, stderr);
        return false;
    }
    if (!crypto_ready()) {
        std::fprintf(stderr, "%s\n", kNoCryptoLine);
        return false;
    }
    std::uint8_t probe[RECORD_PROBE_SIZE] = {};
    const std::uint64_t at = offset + record.size();
    image::LoadedRecord sig;
    std::optional<SignatureFields> fields;
    if (image::read_probe(slot_file, at, probe) == sizeof probe) {
        const RecordHeader h = parse_probe(probe);
        if (h.magic == IMAGE_SIGNATURE &&
            image::load_record(slot_file, at, h, sig) == image::LoadResult::loaded) {
            fields = parse_signature_record(sig.bytes);
        }
    }
    const bool holds = fields && fields->scope == Scope::record &&
                       check_signature(ring, *fields,
                                       statement(Scope::record, record.size(),
                                                 digest_of(record))) == KeyMatch::holds;
    if (!holds) {
        report_damaged_keys(ring, stderr);
    }
    return holds;
}

}  // namespace signing
