// A sandbox board directory: its layout, its files and the operator's edits of them.
//
// The directory is the root of the launcher's world when the board runs (see README.md): the
// flash partitions are files under dev/, the VPD EEPROM is a file of 256 bytes, user/ is the
// persistent filesystem and tmp/ the RAM filesystem.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>

#include <string>
#include <string_view>
#include <vector>
#include "common/tool_failure.hpp"

namespace mpboard {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;
inline constexpr int EXIT_USAGE = 2;

using host_tools::Failure;

[[noreturn]] void fail(const std::string& message);        // exit status 1
[[noreturn]] void usage_fail(const std::string& message);  // exit status 2
// "<path>: <strerror(errno)>" with status 1.
[[noreturn]] void fail_errno(const std::string& path, const std::string& what = {});

// ---- Files of the workstation
// --------------------------------------------------------------------

std::vector<std::uint8_t> read_file(const std::string& path);
// Written under a temporary name beside `path`, synced and renamed over it: a reader never sees
// a half-written file.
void write_text_atomic(const std::string& path, std::string_view text, unsigned mode = 0644);
bool exists(const std::string& path);
void make_dirs(const std::string& path);

// ---- Partitions ---------------------------------------------------------------------------------

struct Partition {
    const char* name;  // as the board configuration and `mpboard flash` name it
    const char* file;  // below the board directory
    std::uint32_t size;
};

// Sizes are the limits the installer checks, so every record it accepts fits; the environment
// takes one erase block.
inline constexpr Partition PARTITIONS[] = {
    {"uboot", "dev/mtd-uboot", 0x80000},
    {"ubootenv", "dev/mtd-ubootenv", 0x20000},
    {"devicetree", "dev/mtd-devicetree", 0x40000},
    {"kernel", "dev/mtd-kernel", 0x300000},
    {"rfs", "dev/mtd-rfs", 0xF00000},
    {"rescue", "dev/mtd-rescue", 0xA00000},
};

const Partition* partition_by_name(std::string_view name);

// ---- The board ----------------------------------------------------------------------------------

// Every path into a board is resolved with the board directory as its root (openat2 with
// RESOLVE_IN_ROOT), as the board's own processes see it: a symbolic link that the board's
// programs left in it (user/images -> /etc) leads to the board's /etc, never to the
// workstation's. Only regular files are read, so a FIFO left in a board cannot stall mpboard.
class Board {
public:
    // A directory that holds etc/board.conf; anything else fails with a message naming it.
    static Board open(const std::string& dir);
    // The directory, made when missing, for `create`.
    static Board make(const std::string& dir);

    const std::string& dir() const noexcept { return dir_; }
    // dir + "/" + relative: for messages and for the jail, never for file access.
    std::string path(std::string_view relative) const;

    std::vector<std::uint8_t> read(std::string_view relative) const;
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

    // The EEPROM file that i2c.eeprom names (default var/vpd.bin), board-relative.
    std::string eeprom_file() const;
    std::string slot_file(int slot) const;

    // The partition's bytes; a missing file fails.
    std::vector<std::uint8_t> read_partition(const Partition& p) const;
    // `bytes` at offset 0, the rest of the partition erased (0xFF); more bytes than the
    // partition holds fail.
    void write_partition(const Partition& p, std::span<const std::uint8_t> bytes) const;

    // The 256 EEPROM bytes (a missing file reads erased, as the emulator creates it).
    std::vector<std::uint8_t> read_vpd() const;
    void write_vpd(std::span<const std::uint8_t> bytes) const;

private:
    Board(std::string dir, int root_fd);
    // A descriptor of a board path (resolved in the board's root).
    int open_in(std::string_view relative, int flags, unsigned mode = 0) const;
    struct Parent;
    Parent parent_of(std::string_view relative) const;

    std::string dir_;
    std::shared_ptr<const int> root_;  // descriptor of the directory, closed with the last copy
};

// ---- etc/board.conf -------------------------------------------------------------------------

struct ConfKey {
    const char* key;
    const char* fallback;
    const char* meaning;
};
extern const std::vector<ConfKey> CONF_KEYS;
const ConfKey* conf_key(std::string_view key);

// The value a board.conf text gives `key` (the last line that sets it), if any.
std::optional<std::string> conf_value(std::string_view conf_text, std::string_view key);
// The text with `key` set to `value` (its lines replaced by one, or one appended); an empty
// value removes the key's lines, so the key takes its default.
std::string conf_with(std::string_view conf_text, std::string_view key, std::string_view value);
// The text board.conf has when a board is made.
std::string default_conf_text();

// ---- Making a board -----------------------------------------------------------------------------

struct CreateOptions {
    bool demo = false;
    bool force = false;
    std::string busybox;  // the static BusyBox to put in the board
};
void create_board(const std::string& dir, const CreateOptions& options);

// The stand-in programs from standins/, by file name.
struct StandIn {
    const char* name;
    const char* text;
};
extern const std::vector<StandIn> STANDINS;

}  // namespace mpboard
