#include "uboot_env.hpp"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

#include "base/byte_order.hpp"

namespace mpboard {
namespace {

constexpr std::size_t CRC_SIZE = 4;

std::uint32_t env_crc(std::span<const std::uint8_t> data) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most 4 GiB - 1 per call; a partition is far smaller, but be exact anyway.
    while (!data.empty()) {
        const std::size_t n = std::min<std::size_t>(data.size(), 1U << 30);
        crc = crc32(crc, data.data(), static_cast<uInt>(n));
        data = data.subspan(n);
    }
    return static_cast<std::uint32_t>(crc);
}

bool printable_text(std::span<const std::uint8_t> s) {
    return std::all_of(s.begin(), s.end(), [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
}

}  // namespace

ParsedEnv parse_env(std::span<const std::uint8_t> partition) {
    ParsedEnv env;
    if (partition.size() <= CRC_SIZE) {
        return env;
    }
    const auto data = partition.subspan(CRC_SIZE);
    env.crc_ok = be32_at(partition.data(), 0) == env_crc(data);
    env.erased = data[0] == 0xFF;
    std::size_t pos = 0;
    while (pos < data.size()) {
        const auto rest = data.subspan(pos);
        const auto nul = std::find(rest.begin(), rest.end(), std::uint8_t{0});
        const auto text = rest.first(static_cast<std::size_t>(nul - rest.begin()));
        if (text.empty() || nul == rest.end() || !printable_text(text)) {
            break;
        }
        const std::string s(text.begin(), text.end());
        const auto eq = s.find('=');
        if (eq == std::string::npos || eq == 0) {
            break;
        }
        env.vars.emplace_back(s.substr(0, eq), s.substr(eq + 1));
        pos += text.size() + 1;
    }
    return env;
}

std::vector<std::uint8_t> build_env(const EnvVars& vars, std::size_t size) {
    if (size <= CRC_SIZE) {
        throw std::length_error("the environment partition is too small");
    }
    std::vector<std::uint8_t> out(size, 0xFF);
    std::size_t pos = CRC_SIZE;
    for (const auto& [name, value] : vars) {
        std::string entry = name;
        entry += '=';
        entry += value;
        // Room for this string's NUL and the empty string that ends the list.
        if (entry.size() + 2 > size - pos) {
            throw std::length_error("the variables do not fit into the " + std::to_string(size) +
                                    "-byte environment partition");
        }
        std::copy(entry.begin(), entry.end(), out.begin() + static_cast<std::ptrdiff_t>(pos));
        pos += entry.size();
        out[pos++] = 0;
    }
    out[pos] = 0;
    store_be32(std::span<std::uint8_t, 4>(out.data(), 4),
               env_crc(std::span<const std::uint8_t>(out).subspan(CRC_SIZE)));
    return out;
}

void assign_env(EnvVars& vars, const std::string& name, const std::string& value) {
    const auto it =
        std::find_if(vars.begin(), vars.end(), [&name](const auto& v) { return v.first == name; });
    if (value.empty()) {
        if (it != vars.end()) {
            vars.erase(it);
        }
        return;
    }
    if (it != vars.end()) {
        it->second = value;
    } else {
        vars.emplace_back(name, value);
    }
}

}  // namespace mpboard
