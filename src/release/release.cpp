#include "release/release.hpp"

#include <array>
#include <cerrno>
#include <cstdio>
#include <span>
#include <vector>

#include "base/byte_order.hpp"
#include "base/durable_file.hpp"
#include "base/untrusted_file.hpp"
#include "i2c/i2c.hpp"

namespace release {

namespace {

std::optional<std::uint32_t> copy_value(std::span<const std::uint8_t, kFloorCopy> copy) {
    const std::uint32_t value = load_be32(std::span<const std::uint8_t, 4>(copy.data(), 4));
    const std::uint32_t check = load_be32(std::span<const std::uint8_t, 4>(copy.data() + 4, 4));
    if (check != static_cast<std::uint32_t>(~value)) {
        return std::nullopt;
    }
    return value;
}

bool read_stored(std::array<std::uint8_t, 2 * kFloorCopy>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (vpd_read_byte(static_cast<std::uint16_t>(kFloorOffset + i), &bytes[i]) < 0) {
            return false;
        }
    }
    return true;
}

// The bytes of a small regular file at `path`, opened as untrusted; nullopt when there is none.
std::optional<std::string> read_small(const char* path, std::size_t limit) {
    base::Found found = base::Found::failed;
    const base::UniqueFd fd = base::open_regular(path, found);
    if (!fd) {
        return std::nullopt;
    }
    std::string text(limit, '\0');
    const base::Transfer t = base::read_full(
        fd.get(), std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(text.data()), limit));
    if (t.error != 0) {
        return std::nullopt;
    }
    text.resize(t.done);
    return text;
}

// One copy as it is stored, and the floor that 16 stored bytes give.
std::array<std::uint8_t, kFloorCopy> floor_copy(std::uint32_t counter) noexcept {
    std::array<std::uint8_t, kFloorCopy> copy{};
    store_be32(std::span<std::uint8_t, 4>(copy.data(), 4), counter);
    store_be32(std::span<std::uint8_t, 4>(copy.data() + 4, 4), ~counter);
    return copy;
}

std::uint32_t floor_of(std::span<const std::uint8_t, 2 * kFloorCopy> bytes) noexcept {
    std::uint32_t floor = 0;
    for (std::size_t at = 0; at < bytes.size(); at += kFloorCopy) {
        if (const auto value = copy_value(
                std::span<const std::uint8_t, kFloorCopy>(bytes.data() + at, kFloorCopy))) {
            floor = std::max(floor, *value);
        }
    }
    return floor;
}

}  // namespace

std::optional<std::uint32_t> read_floor() {
    std::array<std::uint8_t, 2 * kFloorCopy> bytes{};
    if (!read_stored(bytes)) {
        return std::nullopt;
    }
    return floor_of(bytes);
}

bool raise_floor(std::uint32_t counter) {
    std::array<std::uint8_t, 2 * kFloorCopy> bytes{};
    if (!read_stored(bytes)) {
        return false;
    }
    if (floor_of(bytes) >= counter) {
        return true;
    }
    const std::array<std::uint8_t, kFloorCopy> want = floor_copy(counter);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t value = want[i % kFloorCopy];
        if (bytes[i] != value &&
            vpd_write_byte(static_cast<std::uint16_t>(kFloorOffset + i), value) < 0) {
            return false;
        }
    }
    const std::optional<std::uint32_t> now = read_floor();
    return now && *now >= counter;
}

FloorRefusal floor_refusal(std::uint32_t counter) {
    const std::optional<std::uint32_t> floor = read_floor();
    if (!floor) {
        return {"security floor cannot be read", "floor-unknown"};
    }
    if (counter >= *floor) {
        return {};
    }
    char text[96];
    std::snprintf(text, sizeof text, "security counter %lu is below the board's floor %lu",
                  static_cast<unsigned long>(counter), static_cast<unsigned long>(*floor));
    return {text, "below-floor"};
}

std::optional<std::string> board_product(const std::string& path) {
    std::optional<std::string> text = read_small(path.c_str(), 256);
    if (!text) {
        return std::nullopt;
    }
    const std::size_t end = text->find('\n');
    text->resize(end == std::string::npos ? text->size() : end);
    if (!text->empty() && text->back() == '\r') {
        text->pop_back();
    }
    if (text->empty()) {
        return std::nullopt;
    }
    return text;
}

bool record_override(const char* path, const std::string& line) {
    const std::string old = read_small(path, 64 * 1024).value_or("");
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < old.size()) {
        const std::size_t end = old.find('\n', start);
        lines.push_back(
            old.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = end == std::string::npos ? old.size() : end + 1;
    }
    lines.push_back(line);
    const std::size_t skip = lines.size() > kMaxOverrides ? lines.size() - kMaxOverrides : 0;
    std::string text;
    for (std::size_t i = skip; i < lines.size(); ++i) {
        text += lines[i] + "\n";
    }
    return base::write_durably(
        path, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()),
                                            text.size()));
}

}  // namespace release
