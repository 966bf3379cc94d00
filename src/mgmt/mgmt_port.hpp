// The management Ethernet port.
#pragma once

#include <cstdint>

// Asks the operator for the port's network settings (offering DHCP when `ask_dhcp` is
// non-zero) and configures it: 1 when configured, 0 when the operator quit or there is no link.
int mgmt_port_setup(std::uint8_t ask_dhcp);
