#include "common/args.hpp"

#include <cstdlib>

namespace host_tools {

bool is_help(std::string_view arg) {
    return arg == "--help" || arg == "-h";
}

bool asks_help(const Args& args) {
    for (const std::string& a : args) {
        if (is_help(a)) {
            return true;
        }
    }
    return false;
}

namespace {

[[noreturn]] void misuse(const ArgRules& rules, const std::string& message) {
    rules.usage_fail(message);
    std::abort();  // a usage failure throws
}

}  // namespace

std::size_t ParsedArgs::count(std::string_view name) const {
    std::size_t n = 0;
    for (const Item& item : items_) {
        n += item.option == name ? 1 : 0;
    }
    return n;
}

std::optional<std::string> ParsedArgs::value(std::string_view name) const {
    std::optional<std::string> last;
    for (const Item& item : items_) {
        if (item.option == name) {
            last = item.value;
        }
    }
    return last;
}

Args ParsedArgs::values(std::string_view name) const {
    Args all;
    for (const Item& item : items_) {
        if (item.option == name) {
            all.push_back(item.value);
        }
    }
    return all;
}

ParsedArgs parse_args(const Args& args, const CommandArgs& command, const ArgRules& rules) {
    const auto refuse = [&](const std::string& arg) {
        misuse(rules, std::string(command.command) + ": " + rules.unknown + " '" + arg + "'");
    };
    ParsedArgs parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const Option* option = nullptr;
        for (const Option& o : command.options) {
            option = arg == o.name ? &o : option;
        }
        if (option != nullptr) {
            if (option->takes_value && i + 1 >= args.size()) {
                misuse(rules, arg + " needs a value");
            }
            parsed.items_.push_back({arg, option->takes_value ? args[++i] : std::string()});
            continue;
        }
        if (arg.starts_with("--")) {
            refuse(arg);
        }
        if (parsed.positional_.size() == command.max_positional) {
            if (command.too_many.empty()) {
                refuse(arg);
            }
            misuse(rules, command.too_many);
        }
        parsed.items_.push_back({{}, arg});
        parsed.positional_.push_back(arg);
    }
    return parsed;
}

}  // namespace host_tools
