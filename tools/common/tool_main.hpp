// The main of a host tool: runs the command, prints "<tool>: <message>" on standard error for
// what ends it (a Failure with its own exit status, any other exception with `other_status`),
// and fails with `other_status` too when standard output cannot be written.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

namespace host_tools {

int tool_main(const char* tool, int other_status, const std::function<int()>& command);

// One command of a tool: its name, what runs it (with the arguments after the name; returns
// the exit status) and its help.
struct ToolCommand {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
    std::string (*help)();
};

struct CommandTable {
    const char* main_help;
    std::span<const ToolCommand> commands;
    int ok_status;     // after a help
    int usage_status;  // no command given
    // An unknown command: ends the tool with its own usage failure (throws, never returns).
    void (*unknown)(const std::string& name);
};

// A tool's first argument picks its command. No argument prints the main help on standard error;
// "help", "--help" or "-h" prints it on standard output, or the help of the command named after
// it; "--help" or "-h" anywhere after a command prints that command's help.
int run_command_table(const CommandTable& table, int argc, char** argv);

}  // namespace host_tools
