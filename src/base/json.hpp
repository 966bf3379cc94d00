// A JSON string: the text quoted, with '"' and '\' escaped and every byte outside printable ASCII
// as \u00XX, so that what a board or a file holds reaches a program's parser and a terminal as
// plain ASCII. For the JSON that the status and the tools print.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace base {

inline std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

}  // namespace base
