// The management Ethernet port: the operator's questions on the console, its configuration with
// the system's network commands, and the link test of eth0.
//
// Addresses are IPv4 addresses in network byte order, as inet_aton makes them; 0 means "not
// given" for a netmask or a gateway.
#pragma once

#include <cstdint>

// mgmt_port_params, then (when it returns 1) mgmt_port_configure, for port '1' with all
// addresses starting at 0: 1 when configured, 0 when the operator quit or there is no link.
int mgmt_port_setup(std::uint8_t ask_dhcp);

// Asks for DHCP (when `ask_dhcp` is non-zero and /bin/dhclient exists) or for the three
// addresses. 1 when the answers are complete, 0 when a question was quit.
int mgmt_port_params(char port, std::uint8_t* dhcp, std::uint32_t* ip, std::uint32_t* netmask,
                     std::uint32_t* gateway, std::uint8_t ask_dhcp);

// Asks one address question until it is answered: 1 with `out` filled (or untouched after an
// allowed empty answer), 0 when the operator quit.
int get_ip_addr(const char* prompt, std::uint32_t* out, std::uint8_t required, std::uint8_t verify);

// 1 when the first octet is 1 to 239, else 0.
int verify_ip_address(std::uint32_t address);

// Configures eth<port> with dhclient, or ifconfig and route; 0 only when port '0' has no link.
int mgmt_port_configure(std::uint8_t dhcp, char port, std::uint32_t ip, std::uint32_t netmask,
                        std::uint32_t gateway);

// 1 when eth0 is up, running and has link (the port letter is not used).
int mgmt_link_status(char port);
