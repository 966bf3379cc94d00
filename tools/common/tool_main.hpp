// The main of a host tool: runs the command, prints "<tool>: <message>" on standard error for
// what ends it (a Failure with its own exit status, any other exception with `other_status`),
// and fails with `other_status` too when standard output cannot be written.
#pragma once

#include <functional>

namespace host_tools {

int tool_main(const char* tool, int other_status, const std::function<int()>& command);

}  // namespace host_tools
