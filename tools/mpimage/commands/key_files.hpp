// The key files of mpimage keygen, sign, list and verify: NAME.key, the private key (its seed in
// hexadecimal after a prefix), on the release host only, and NAME.pub, the public key boards hold.
#pragma once

#include <sodium.h>

#include <array>
#include <string>

#include "image/signature.hpp"

namespace mpimage {

inline constexpr char kSecretPrefix[] = "ed25519-secret ";

// A small file's bytes (a key file: 512 at most); a file that cannot be read is an I/O error.
std::string read_small_file(const std::string& path);

struct SecretKey {
    std::array<std::uint8_t, signing::kSecretKeySize> sk{};
    signing::PublicKey pk{};
    ~SecretKey() { sodium_memzero(sk.data(), sk.size()); }
};

// Fails (exit status 2) when libsodium cannot be initialised.
void need_crypto();

}  // namespace mpimage
