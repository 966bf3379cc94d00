#include "image/compatible.hpp"

#include <algorithm>

#include "image/record.hpp"

namespace image {

bool is_product_name(std::string_view name) noexcept {
    return !name.empty() && name.size() <= kMaxProductName &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '.' || c == '_' || c == '+' || c == '-';
           });
}

std::vector<std::uint8_t> compatible_payload(const std::vector<std::string>& products) {
    std::vector<std::uint8_t> payload;
    for (const std::string& name : products) {
        payload.insert(payload.end(), name.begin(), name.end());
        payload.push_back('\n');
    }
    return payload;
}

std::optional<std::vector<std::string>> parse_compatible(std::span<const std::uint8_t> payload) {
    std::vector<std::string> names;
    std::size_t start = 0;
    for (std::size_t i = 0; i < payload.size(); ++i) {
        if (payload[i] != '\n') {
            continue;
        }
        std::string name(payload.begin() + static_cast<std::ptrdiff_t>(start),
                         payload.begin() + static_cast<std::ptrdiff_t>(i));
        if (!is_product_name(name) || names.size() == kMaxProducts) {
            return std::nullopt;
        }
        names.push_back(std::move(name));
        start = i + 1;
    }
    if (names.empty() || start != payload.size()) {
        return std::nullopt;
    }
    return names;
}

Products package_products(const ByteSource& package) {
    Products products;
    walk_records(package, [&](const ProbedRecord& rec) {
        if (rec.header.magic != IMAGE_COMPATIBLE) {
            return true;
        }
        products.any_record = true;
        LoadedRecord loaded;
        std::optional<std::vector<std::string>> names;
        if (rec.header.record_length() <=
                RECORD_HEADER_SIZE + kMaxProducts * (kMaxProductName + 1) &&
            load_record(package, rec.offset, rec.header, loaded) == LoadResult::loaded &&
            loaded.intact()) {
            names = parse_compatible(loaded.payload());
        }
        if (!names) {
            products.damaged = true;
            return false;
        }
        products.names.insert(products.names.end(), names->begin(), names->end());
        return true;
    });
    return products;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

}  // namespace image
