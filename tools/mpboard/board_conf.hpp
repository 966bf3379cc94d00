// The text of a board's etc/board.conf as mpboard edits it: the keys, their defaults and their
// meanings are the sandbox board's description (platform/sandbox/board_description.hpp).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace mpboard {

// The value a board.conf text gives `key` (the last line that sets it), if any.
std::optional<std::string> conf_value(std::string_view conf_text, std::string_view key);
// The text with `key` set to `value` (its lines replaced by one, or one appended); an empty
// value removes the key's lines, so the key takes its default.
std::string conf_with(std::string_view conf_text, std::string_view key, std::string_view value);
// The text board.conf has when a board is made.
std::string default_conf_text();

}  // namespace mpboard
