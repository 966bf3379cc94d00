#include "base/net.hpp"

#include <arpa/inet.h>

namespace base {

const char* dotted(std::uint32_t address, char (&text)[INET_ADDRSTRLEN]) noexcept {
    in_addr in{};
    in.s_addr = address;
    if (::inet_ntop(AF_INET, &in, text, sizeof text) == nullptr) {
        text[0] = '\0';
    }
    return text;
}

}  // namespace base
