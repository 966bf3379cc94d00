// What ends a command of a host tool: main prints "<tool>: <message>" on standard error and exits
// with the status, which release pipelines and test scripts read.
#pragma once

#include <stdexcept>
#include <string>

namespace host_tools {

class Failure : public std::runtime_error {
public:
    Failure(int status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

}  // namespace host_tools
