// The launcher's view of the board, for people and for programs: each image slot (its record,
// CRC, signatures, boot attempts), the VPD's slot bytes, the boot settings that matter, the
// keys, the security floor and the product, each flash partition's record, the boot history and
// the install records. mplaunch-status prints it on the board, `mpboard status` on a sandbox or
// virtual-machine board, with the same code over the same files.
//
// It only reads: the partitions are opened read-only, the VPD is read a byte at a time through
// the I2C path (the multiplexer and the CPLD gate are opened and closed as for every VPD read),
// and nothing on /user or /tmp is written. What cannot be known is said so: null in the JSON,
// "unknown" in the text, never a guess. doc/status.md names every JSON key.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "history/history.hpp"

namespace status {

// The JSON form's version: a key is added, never renamed or given another meaning, without a new
// version.
inline constexpr int kFormat = 1;

struct Signatures {
    // "holds", "does-not-hold", "unknown-key", "unsigned", "no-keys"; nullopt without a record.
    std::optional<std::string> verdict;
    std::optional<std::string> key_id;
    std::optional<std::uint32_t> security_counter;
    std::size_t count = 0;
};

// The record a reader of a slot file or partition finds.
struct RecordView {
    std::optional<std::string> type;     // record_type_name; nullopt: no record
    std::optional<std::string> version;  // "a.b.c.d"
    std::optional<bool> crc_good;        // nullopt: not checkable (the boot loader's copy)
    Signatures signatures;
};

struct Slot {
    int slot = 1;
    std::string file;  // "present", "missing", "not-a-file"
    RecordView record;
    std::string state;  // "trial" or "confirmed", as the boot path reads the attempts file
    unsigned attempts = 0;
};

struct Partition {
    std::string name;  // "uboot", "devicetree", "kernel", "rfs", "rescue"
    RecordView record;
};

struct BoardStatus {
    std::vector<Slot> slots;
    std::string attempts_file;              // "read", "missing", "not-a-file", "damaged"
    std::optional<unsigned> vpd_boot_slot;  // VPD byte 1
    std::optional<unsigned> vpd_booted;     // VPD byte 59
    std::optional<int> this_boot_slot;      // what this boot left for mplaunch-confirm
    std::optional<bool> this_boot_counted;
    bool settings_read = false;
    struct {
        bool verify = false;
        unsigned bootlimit = 0;
        bool rescue = false;
        bool standalone_diags = false;
        bool gdb = false;
        bool gdbserver = false;
        int gdbport = 0;
        bool memchk = false;
        bool shell = false;
    } settings;
    std::size_t keys = 0;
    std::vector<std::string> damaged_keys;
    std::optional<std::uint32_t> security_floor;
    std::optional<std::string> product;
    std::vector<Partition> partitions;
    history::Log boots;
    history::Log installs;
};

// Reads the board. The I2C buses are opened and closed again; the partitions stay open
// read-only (call it once per process). What the flash and I2C layers say about a failure goes
// to standard error meanwhile, so that standard output holds the status alone.
BoardStatus collect();

std::string json(const BoardStatus& board);
std::string text(const BoardStatus& board);

// mplaunch-status [--json] [--help]: 0 when printed, 2 on misuse.
int status_main(int argc, char** argv);

}  // namespace status
