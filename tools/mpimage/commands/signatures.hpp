// What verify and list learn about a package's signature records.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "image/record.hpp"
#include "image/signature.hpp"
#include "package_file.hpp"

namespace mpimage {

struct Finding {
    signing::KeyId key_id{};
    std::uint8_t format = signing::kFormatVersion;
    std::uint32_t counter = 0;
    std::optional<bool> holds;  // nullopt: no public key given to check it with
};

struct Signatures {
    std::vector<Finding> package;                     // the run of package signatures that ends it
    std::uint64_t package_start = 0;                  // where that run starts
    std::map<std::size_t, std::vector<Finding>> own;  // by record index: the record's own run

    // The first package signature that holds, else the first; nullopt when unsigned.
    std::optional<Finding> package_choice() const;
    // The package's security counter: the highest of the package signatures that hold (of all
    // of them when no key was given to check them with).
    std::uint32_t package_counter() const;
};

// The public keys of NAME.pub files; a file that is not one is a usage error.
signing::KeyRing load_public_keys(const std::vector<std::string>& paths);

// The signatures of the package's records (as the walk found them), checked with `ring`'s keys.
Signatures find_signatures(const InputFile& file, const std::vector<ProbedRecord>& records,
                           const signing::KeyRing& ring);

}  // namespace mpimage
