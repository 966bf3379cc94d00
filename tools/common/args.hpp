// How a host tool's command reads its arguments: `--name` flags and `--name VALUE` options
// (each may be given again: every value is kept, in order) among positional arguments, read left
// to right. Misuse ends the command with a Failure of the tool's usage status.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace host_tools {

using Args = std::vector<std::string>;

// "--help" or "-h": anywhere among a command's arguments, it asks for the command's help.
bool is_help(std::string_view arg);
bool asks_help(const Args& args);

struct Option {
    const char* name;  // "--json"
    bool takes_value = false;
};

// What a tool calls an argument it does not take ("unknown option" for mpimage, "unexpected
// argument" for mpboard), and how it ends a command on misuse (its own usage failure).
struct ArgRules {
    const char* unknown;
    void (*usage_fail)(const std::string& message);  // throws, never returns
};

struct CommandArgs {
    const char* command;  // messages start "<command>: "
    std::vector<Option> options = {};
    std::size_t max_positional = static_cast<std::size_t>(-1);
    // The message for a positional argument beyond the last one; empty: "<command>: <unknown>
    // '<argument>'", as for an undeclared option.
    std::string too_many = {};
};

class ParsedArgs {
public:
    struct Item {
        std::string option;  // empty: a positional argument
        std::string value;   // a flag's is empty
    };
    const std::vector<Item>& items() const noexcept { return items_; }
    const Args& positional() const noexcept { return positional_; }
    bool flag(std::string_view name) const { return count(name) > 0; }
    std::size_t count(std::string_view name) const;
    // The last value given.
    std::optional<std::string> value(std::string_view name) const;
    Args values(std::string_view name) const;

private:
    friend ParsedArgs parse_args(const Args&, const CommandArgs&, const ArgRules&);
    std::vector<Item> items_;
    Args positional_;
};

// A declared option takes the next argument as its value, whatever it is ("<option> needs a value"
// when there is none); any other argument starting with "--" is "<command>: <unknown> '<arg>'".
ParsedArgs parse_args(const Args& args, const CommandArgs& command, const ArgRules& rules);

}  // namespace host_tools
