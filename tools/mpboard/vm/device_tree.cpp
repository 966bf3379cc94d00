#include "vm/device_tree.hpp"

#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_order.hpp"
#include "failure.hpp"

namespace mpboard {

namespace {

// The flattened tree's tokens (its structure block, as the kernel's dtb format lays it out).
constexpr std::uint32_t FDT_MAGIC = 0xd00dfeed;
constexpr std::uint32_t BEGIN_NODE = 1;
constexpr std::uint32_t END_NODE = 2;
constexpr std::uint32_t PROP = 3;
constexpr std::uint32_t NOP = 4;
constexpr std::uint32_t END = 9;

std::uint32_t be32(const std::vector<std::uint8_t>& b, std::size_t at) {
    if (at > b.size() || b.size() - at < 4) {
        fail("the machine's device tree ends early");
    }
    return be32_at(b.data(), at);
}

// A NUL-terminated string at `at`, within `end`.
std::string_view string_at(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t end) {
    const void* nul = at < end ? std::memchr(b.data() + at, 0, end - at) : nullptr;
    if (nul == nullptr) {
        fail("the machine's device tree has an unterminated name");
    }
    return {reinterpret_cast<const char*>(b.data() + at),
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - (b.data() + at))};
}

constexpr std::size_t aligned(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

}  // namespace

std::size_t set_uart_clocks(std::vector<std::uint8_t>& dtb, std::uint32_t hz) {
    if (be32(dtb, 0) != FDT_MAGIC || be32(dtb, 4) > dtb.size()) {
        fail("the machine's device tree is not a flattened device tree");
    }
    const std::size_t structure = be32(dtb, 8);
    const std::size_t strings = be32(dtb, 12);
    const std::size_t strings_end = strings + be32(dtb, 32);
    const std::size_t structure_end = structure + be32(dtb, 36);
    if (structure_end > dtb.size() || strings_end > dtb.size()) {
        fail("the machine's device tree is cut short");
    }
    std::size_t set = 0;
    std::string_view node;  // the node whose properties follow (they come before its children)
    for (std::size_t at = structure; at < structure_end;) {
        const std::uint32_t token = be32(dtb, at);
        at += 4;
        if (token == BEGIN_NODE) {
            node = string_at(dtb, at, structure_end);
            at = aligned(at + node.size() + 1);
        } else if (token == PROP) {
            const std::size_t length = be32(dtb, at);
            const std::size_t name = be32(dtb, at + 4);
            at += 8;
            if (length > structure_end - at || name >= strings_end - strings) {
                fail("the machine's device tree has a property out of bounds");
            }
            if (node.starts_with("serial@") && length == 4 &&
                string_at(dtb, strings + name, strings_end) == "clock-frequency") {
                store_be32(std::span<std::uint8_t, 4>(dtb.data() + at, 4), hz);
                ++set;
            }
            at = aligned(at + length);
        } else if (token == END_NODE) {
            node = {};
        } else if (token == END) {
            return set;
        } else if (token != NOP) {
            fail("the machine's device tree has an unknown token " + std::to_string(token));
        }
    }
    fail("the machine's device tree has no end");
}

}  // namespace mpboard
