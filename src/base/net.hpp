// IPv4 addresses as the operator reads them.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace base {

// "a.b.c.d" of an address in network byte order, in the caller's buffer (inet_ntoa's own buffer
// is shared by every call, so two addresses in one message would show the same text).
const char* dotted(std::uint32_t address, char (&text)[INET_ADDRSTRLEN]) noexcept;

}  // namespace base
