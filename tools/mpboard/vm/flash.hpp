// The flash of a board's virtual machine: one file, run/vm-flash, that holds the six partitions,
// the /user flash, the way out, the VPD EEPROM's bytes and a state block at erase-block-aligned
// offsets (the EEPROM's region just below the state block). qemu maps it into
// the machine as the memory of a PCI device (ivshmem, share=on) and the kernel's phram driver
// serves each piece as an MTD device with the board's erase block. A write the machine completed is
// in the file (the host's page cache) at once, as on a NOR chip, so a SIGKILL of qemu keeps it; a
// write in progress may stop at any byte.
//
// The board directory stays the one truth: the file is built from the partition files (and an
// erased /user flash that the machine fills from the copy of user/ in its initramfs) when a run
// starts, and taken apart again at its orderly end. Only a cut leaves it; then it is what the board
// holds, and the next run boots from it. A command that reads or writes user/ first brings it back
// with a machine that only hands /user out; one that needs only a partition reads or writes it in
// the file.
//
// The EEPROM's bytes come from the board's VPD file when the file is built (or a cut left one
// without them) and go back into it at the orderly end; the machine's own I2C module (mpboard_i2c)
// keeps them in that memory, so each byte the EEPROM took is in the file at once as well.
//
// The machine never reaches the board directory: at its end it leaves one archive (cpio "newc",
// gzip) on the way out, with the launcher's status and /user's files, and
// mpboard unpacks it here after qemu has ended, as input from the board: only directories,
// regular files and symbolic links, under user/, the caller's, with permission bits only, no file
// larger than /user's flash, 16 times that in all, one entry per 64 bytes of it at most, and no
// more than 64 times that inflated.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/partitions.hpp"
#include "base/unique_fd.hpp"
#include "board.hpp"

namespace mpboard {

inline constexpr const char* VM_FLASH = "run/vm-flash";

// The machine a flash file is for: jffs2 keeps the CPU's byte order, so /user's flash that a
// powerpc machine wrote mounts only there.
enum class VmArch { x86_64, ppc };
const char* arch_name(VmArch arch);

class VmFlash {
public:
    // The layout from the partition files, each a whole number of erase blocks; the file built
    // from them unless a cut left one of the layout's size.
    // A file a cut of the other machine left fails (bring it back with that machine first).
    VmFlash(const Board& board, std::uint32_t erase, std::uint64_t user_size, VmArch arch);

    // Built now: the /user flash is erased and the machine copies user/ onto it.
    bool fresh() const noexcept { return fresh_; }
    // The descriptor qemu inherits (not close-on-exec in the child).
    int fd() const noexcept { return fd_.get(); }
    // qemu's options that map the file at /proc/self/fd/N as the device's memory.
    std::vector<std::string> qemu_args() const;
    // For the machine's init: "name:offset:size,..." in the file, /user's flash last.
    std::string pieces() const;
    // For the machine's init: "offset:size" of the EEPROM's region in the file.
    std::string vpd() const;
    // The orderly end: what the machine handed out becomes user/, the EEPROM's bytes the VPD
    // file, the partitions that changed go back into their files, the file is removed; returns
    // the launcher's status line ("STATUS HOW"). Fails without a whole archive, the file left as
    // after a cut.
    std::string take_apart() const;

private:
    struct Piece {
        std::string name;
        std::string file;  // board-relative; empty for /user's flash, the way out and the state
        std::uint64_t offset;
        std::uint64_t size;
    };
    const Board& board_;
    std::vector<Piece> pieces_;
    std::uint64_t total_ = 0;
    std::uint64_t user_size_ = 0;
    std::uint64_t vpd_region_ = 0;
    bool fresh_ = false;
    base::UniqueFd fd_;
};

// Fails unless the kernel's modules directory (lib/modules/RELEASE) has phram (a module, or built
// into the kernel) and our mpboard_i2c (whose VPD region is in the flash).
void check_flash_driver(const std::string& modules);

// Whether a cut of the machine left the board's flash in run/vm-flash: the file's state block
// says that user/ is on it (without that mark the cut came before, user/ is as it was, and the
// file is removed).
bool vm_flash_left(const Board& board);
// The same, with the machine that left it.
std::optional<VmArch> vm_flash_left_by(const Board& board);

// One partition of the flash a cut left, read or written where the file holds it (the partitions
// lie back to back at its start, each its file's size), so a command that needs no more than that
// boots no machine for it; the next run boots with it, and its orderly end puts it back into the
// partition's file. As Board's: `bytes` at offset 0, the rest erased, more than it holds fail.
std::vector<std::uint8_t> read_left_partition(const Board& board, const base::Partition& part);
void write_left_partition(const Board& board, const base::Partition& part,
                          std::span<const std::uint8_t> bytes);
// The VPD EEPROM's 256 bytes in the flash a cut left, likewise.
std::vector<std::uint8_t> read_left_vpd(const Board& board);
void write_left_vpd(const Board& board, std::span<const std::uint8_t> bytes);

}  // namespace mpboard
