#include "common/tool_main.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/tool_failure.hpp"

namespace host_tools {

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
