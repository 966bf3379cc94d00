#include "common/tool_main.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/args.hpp"
#include "common/tool_failure.hpp"

namespace host_tools {

int run_command_table(const CommandTable& table, int argc, char** argv) {
    if (argc < 2) {
        std::fputs(table.main_help, stderr);
        return table.usage_status;
    }
    const std::string name = argv[1];
    const auto find = [&](const std::string& wanted) -> const ToolCommand* {
        for (const ToolCommand& c : table.commands) {
            if (wanted == c.name) {
                return &c;
            }
        }
        return nullptr;
    };
    if (is_help(name) || name == "help") {
        const ToolCommand* named = argc > 2 ? find(argv[2]) : nullptr;
        std::fputs(named != nullptr ? named->help().c_str() : table.main_help, stdout);
        return table.ok_status;
    }
    const ToolCommand* command = find(name);
    if (command == nullptr) {
        table.unknown(name);
        return table.usage_status;  // not reached: `unknown` throws
    }
    const Args args(argv + 2, argv + argc);
    if (asks_help(args)) {
        std::fputs(command->help().c_str(), stdout);
        return table.ok_status;
    }
    return command->run(args);
}

int tool_main(const char* tool, int other_status, const std::function<int()>& command) {
    try {
        const int status = command();
        if (std::fflush(stdout) != 0) {
            std::fprintf(stderr, "%s: standard output: %s\n", tool, std::strerror(errno));
            return other_status;
        }
        return status;
    } catch (const Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", tool, f.what());
        return f.status();
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "%s: %s\n", tool, e.what());
        return other_status;
    }
}

}  // namespace host_tools
