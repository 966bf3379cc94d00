// A sandbox board directory and the operator's edits of its files.
//
// The directory is the root of the launcher's world when the board runs (doc/sandbox-boards.md):
// the flash partitions are files under dev/, the VPD EEPROM is a file of 256 bytes, user/ is the
// persistent filesystem and tmp/ the RAM filesystem.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/partitions.hpp"
#include "base/unique_fd.hpp"
#include "failure.hpp"

namespace mpboard {

// Every path into a board is resolved with the board directory as its root (openat2 with
// RESOLVE_IN_ROOT), as the board's own processes see it: a symbolic link that the board's
// programs left in it (user/images -> /etc) leads to the board's /etc, never to the
// workstation's. Only regular files are read, so a FIFO left in a board cannot stall mpboard.
class Board {
public:
    // What read() takes of a file at most: a flash partition is 15 MiB at most.
    static constexpr std::size_t kReadLimit = 64 << 20;

    // A directory that holds etc/board.conf; anything else fails with a message naming it. A
    // symbolic link is followed once: the board is the directory it led to, through this
    // descriptor, from then on. The set-id bits a run may have left are taken off.
    static Board open(const std::string& dir);
    // Before the board runs: it must be the caller's own, and becomes mode 0700, so that no
    // other account reaches what the board makes in it.
    void make_private() const;
    // The board directory's descriptor (O_PATH), for the jail.
    int fd() const noexcept { return root_->get(); }
    // The directory, made when missing, for `create`.
    static Board make(const std::string& dir);

    const std::string& dir() const noexcept { return dir_; }
    // dir + "/" + relative: for messages and for the jail, never for file access.
    std::string path(std::string_view relative) const;

    // A file larger than `max` fails (a board may grow its files to any size).
    std::vector<std::uint8_t> read(std::string_view relative, std::size_t max = kReadLimit) const;
    std::string read_text(std::string_view relative) const;
    bool exists(std::string_view relative) const;
    // Written under a temporary name, synced and renamed over the file.
    void write(std::string_view relative, std::span<const std::uint8_t> bytes,
               unsigned mode = 0644) const;
    void write_text(std::string_view relative, std::string_view text, unsigned mode = 0644) const;
    void make_dirs(std::string_view relative) const;
    // A file or symbolic link; a missing one is no error.
    void remove(std::string_view relative) const;
    void symlink(const std::string& target, std::string_view relative) const;
    // Copies a workstation file in unless the board's copy has its size and modification time
    // already; keeps its mode and modification time.
    void copy_in(const std::string& source, std::string_view relative) const;
    // Removes everything in a directory of the board (which must not be a symbolic link).
    void empty_dir(std::string_view relative) const;
    // Takes the setuid and setgid bits off everything in the board.
    void clear_set_id_bits() const;

    // The EEPROM file, board-relative, as the board reads i2c.eeprom in etc/board.conf.
    std::string eeprom_file() const;
    std::string slot_file(int slot) const;

    // The partition's bytes; a missing file fails.
    std::vector<std::uint8_t> read_partition(const base::Partition& p) const;
    // `bytes` at offset 0, the rest of the partition erased (0xFF); more bytes than the
    // partition holds fail.
    void write_partition(const base::Partition& p, std::span<const std::uint8_t> bytes) const;

    // The 256 EEPROM bytes (a missing file reads erased, as the emulator creates it; a longer one
    // is read no further).
    std::vector<std::uint8_t> read_vpd() const;
    void write_vpd(std::span<const std::uint8_t> bytes) const;

    // A descriptor of a board path (resolved in the board's root, close-on-exec); -1 with errno
    // when it cannot be opened.
    base::UniqueFd open_in(std::string_view relative, int flags, unsigned mode = 0) const;
    // A board file opened for reading, never following a link or waiting on a FIFO; it fails
    // with the path's name unless it is a regular file (its status in `st`).
    base::UniqueFd open_regular(std::string_view relative, struct stat& st) const;

private:
    Board(std::string dir, base::UniqueFd root);
    struct Parent;
    Parent parent_of(std::string_view relative) const;

    std::string dir_;
    std::shared_ptr<const base::UniqueFd> root_;  // the directory, closed with the last copy
};

}  // namespace mpboard
