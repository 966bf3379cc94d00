// mpimage keygen: a signing key pair, NAME.key and NAME.pub.

#include <fcntl.h>
#include <sodium.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/io.hpp"
#include "base/unique_fd.hpp"
#include "commands.hpp"
#include "key_files.hpp"

namespace mpimage {

namespace {

const char* const KEYGEN_HELP =
    "usage: mpimage keygen NAME\n"
    "\n"
    "Makes an Ed25519 key pair for signing packages: NAME.key, the private key (mode 0600;\n"
    "keep it on the release host, never on a board) and NAME.pub, the public key that boards\n"
    "hold in /etc/mplaunch/keys. Neither file may exist already: keygen never replaces a key.\n"
    "\n"
    "Exit status: 0 written, 2 usage or I/O error (an existing file included).\n";

}  // namespace

std::string keygen_help() {
    return KEYGEN_HELP;
}

namespace {

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

}  // namespace

int run_keygen(const Args& args) {
    const Args names = host_tools::parse_args(args, {.command = "keygen"}, ARG_RULES).positional();
    if (names.size() != 1 || names[0].empty()) {
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
    const std::string name = names[0];
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

}  // namespace mpimage
