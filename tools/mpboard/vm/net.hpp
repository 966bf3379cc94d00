// The network of a board's virtual machine: its two cards and the monitor through which
// `mpboard link` switches eth0's link.
#pragma once

#include <string>
#include <vector>

#include "base/unique_fd.hpp"
#include "board.hpp"
#include "netns_pin.hpp"

namespace mpboard {

// The cards and the monitor of one run, made before qemu starts. Without a namespace name, eth0
// and eth1 are wired to each other (a cable from one port to the other). With one, a new network
// namespace is pinned as /run/netns/NAME, qemu runs in it, and eth1 is the tap device "eth1"
// there: whatever serves in that namespace on eth1 is what the board's eth1 reaches; eth0's
// cable then ends in mpboard, which reads nothing from it. Either way eth0's link is up until
// `mpboard link` switches it through the monitor.
class VmNetwork {
public:
    VmNetwork(const Board& board, const std::string& netns);
    VmNetwork(const VmNetwork&) = delete;
    VmNetwork& operator=(const VmNetwork&) = delete;
    ~VmNetwork();

    // qemu's options for the cards and the monitor.
    std::vector<std::string> qemu_args() const;
    // In qemu's process before exec: its descriptors inherited, the namespace entered.
    void enter() const;

private:
    NetnsPin pin_;
    base::UniqueFd run_;  // run/vm/, where the monitor's socket is (only the caller enters it)
    base::UniqueFd namespace_;
    base::UniqueFd eth0_;
    base::UniqueFd eth1_;
    base::UniqueFd cable_end_;
    base::UniqueFd monitor_;
};

// Sets the link of eth0 of the virtual machine running on the board (`mpboard link`).
void set_vm_link(const Board& board, bool up);

}  // namespace mpboard
