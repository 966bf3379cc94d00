// The products a package is for: a plain record of type IMAGE_COMPATIBLE holding their names,
// one per line. A package without one is for every product. Launchers that know nothing of the
// type pass it over as they pass over every unknown type; in a signed package the package
// signature covers it as every record before it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/record_reader.hpp"

namespace image {

inline constexpr std::uint32_t IMAGE_COMPATIBLE = 0x08504F4Cu;
inline constexpr std::size_t kMaxProductName = 64;
inline constexpr std::size_t kMaxProducts = 16;

// A product name: 1 to 64 of the letters, digits and "._+-".
bool is_product_name(std::string_view name) noexcept;

// The payload that names `products` (each a product name), one per line.
std::vector<std::uint8_t> compatible_payload(const std::vector<std::string>& products);

// The names in a payload: nullopt unless it is 1 to 16 product names, each ended by a newline.
std::optional<std::vector<std::string>> parse_compatible(std::span<const std::uint8_t> payload);

// What the compatible records of a package say: none (for every product), the names of every
// one of them, or a record that is damaged (its CRC or its names).
struct Products {
    bool any_record = false;
    bool damaged = false;
    std::vector<std::string> names;
};
Products package_products(const ByteSource& package);

// "a, b, c".
std::string joined(const std::vector<std::string>& names);

}  // namespace image
