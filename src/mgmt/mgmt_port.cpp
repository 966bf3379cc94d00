#include "mgmt/mgmt_port.hpp"

// Placeholder until the management port set-up is built (questions, ifconfig/route/dhclient,
// link test): asks nothing, configures nothing, and reports the port as not configured.
int mgmt_port_setup(std::uint8_t /*ask_dhcp*/) {
    return 0;
}
