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
    std::optional<bool> holds;  // nullopt: no public key given to check it with
};

struct Signatures {
    std::optional<Finding> package;      // the package signature record that ends the package
    std::map<std::size_t, Finding> own;  // by record index: the record's own signature
};

// The public keys of NAME.pub files; a file that is not one is a usage error.
signing::KeyRing load_public_keys(const std::vector<std::string>& paths);

// The signatures of the package's records (as the walk found them), checked with `ring`'s keys.
Signatures find_signatures(const InputFile& file, const std::vector<ProbedRecord>& records,
                           const signing::KeyRing& ring);

}  // namespace mpimage
