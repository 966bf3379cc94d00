// Controls of the sandbox platform for tests, the board tool and the board's own main.
//
// The sandbox implements platform/platform.hpp on the files of a board directory: one file per
// MTD partition, files that stand for the I2C adapters, the CPLD's register bytes and the VPD
// EEPROM, a scaled clock, and commands that run only inside a board's jail. The keys of
// etc/board.conf and the lines of var/log/board.log are described in doc/sandbox-boards.md.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform::sandbox {

// Board root: device paths "/dev/..." and the board's own files resolve below it. Default "/"
// (inside a board's jail the board directory is the root). Unit tests that do not jail
// themselves set a directory under the build tree.
void set_root(const std::string& dir);
const std::string& root();

// (Re)reads <root>/etc/board.conf (missing file = all defaults) and forgets every open emulated
// device. Call after writing board.conf in a test.
void reload();

// Recording mode for unit tests: every run_system/run_exec is passed to the recorder instead of
// running; its return value is what run_system returns (run_exec returns -1 with errno ENOEXEC
// after recording, since the process was not replaced). nullptr switches recording off.
using Recorder =
    std::function<int(std::string_view kind /* "system" or "exec" */, std::string_view command)>;
void set_recorder(Recorder r);

// What the emulators and the clock have done since the last reload() (for assertions).
struct Stats {
    unsigned cpld_status_reads = 0;           // reads of register 24
    unsigned long long slept_us = 0;          // requested sleep, before scaling
    unsigned mtd_erases = 0, mtd_writes = 0;  // MEMERASE and pwrite calls, failed ones included
};
const Stats& stats();

}  // namespace platform::sandbox
