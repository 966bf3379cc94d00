// `mpboard run DIR --vm`: the board build of the launcher on Debian's stock kernel in a
// qemu-system-x86_64 virtual machine, with the kernel's own MTD, jffs2, i2c-dev and UART drivers
// over the board directory's files.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "board.hpp"

namespace mpboard {

struct VmOptions {
    std::string launcher;  // the board build mplaunch (x86-64)
    std::string confirm;   // the board build mplaunch-confirm; empty: none in the machine
    std::string kernel;    // directory with vmlinuz, release and modules/ (scripts/lib/vm.sh)
    std::string qemu;      // qemu-system-x86_64
    std::string netns;     // eth1 on a tap in a new network namespace pinned under this name
    std::optional<std::string> clock_scale;  // factor for the machine's pauses (vm_net.hpp)
    std::string clock_library;               // the pause library (mpboard-vm-clock)
    bool recover = false;  // only bring back the flash a cut left (vm_flash.hpp), no launcher
};

// Boots the board in a virtual machine on this process's standard input and output; returns a
// wait status (for exit_like): the launcher's exit status as the machine's init saw it.
int run_board_vm(const Board& board, const VmOptions& options);

// An entry's owner and modification time in an initramfs.
struct InitramfsOwner {
    unsigned uid = 0;
    unsigned gid = 0;
    std::uint32_t mtime = 0;
};

// An archive in the kernel's initramfs format (cpio "newc"), built in memory. A file's parent
// directories are made first, each once.
class Initramfs {
public:
    using Owner = InitramfsOwner;
    void dir(const std::string& path, unsigned mode = 0755, const Owner& owner = {});
    void file(const std::string& path, const std::vector<std::uint8_t>& bytes, unsigned mode = 0644,
              const Owner& owner = {});
    void symlink(const std::string& target, const std::string& path, const Owner& owner = {});
    // The archive with its trailer.
    std::vector<std::uint8_t> finish();

private:
    void parents(const std::string& path);
    void entry(const std::string& path, unsigned mode, const Owner& owner, const std::uint8_t* data,
               std::size_t size);
    std::vector<std::uint8_t> out_;
    std::set<std::string> dirs_;
    unsigned next_inode_ = 1;
};

}  // namespace mpboard
