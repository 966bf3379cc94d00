#include "create.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <vector>

#include "archive.hpp"
#include "board.hpp"
#include "board_conf.hpp"
#include "files.hpp"
#include "platform/sandbox/board_description.hpp"

namespace mpboard {

namespace {

namespace fs = std::filesystem;

// Applets of the board's BusyBox. mount, umount, reboot, halt and poweroff are the board's own
// stand-ins instead, so that nothing in a board can even try them.
constexpr const char* BIN_APPLETS[] = {
    "sh",    "ash",   "tar",     "gunzip",   "gzip",  "zcat",   "rm",    "mkdir",  "mv",
    "cp",    "chmod", "tftp",    "ifconfig", "route", "ip",     "sleep", "usleep", "cat",
    "echo",  "ls",    "sync",    "date",     "env",   "printf", "test",  "[",      "true",
    "false", "grep",  "sed",     "head",     "tail",  "touch",  "ln",    "pwd",    "wc",
    "dd",    "od",    "hexdump", "xxd",      "ps",    "kill",   "stat",  "cmp",    "md5sum",
    "cut",   "tr",    "awk",     "xargs",    "uname", "id",     "stty",  "tty",    "find",
    "sort",  "which", "timeout", "rmdir",
};

// --force only ever remakes a board: a directory of anything else stays untouched.
void check_target(const std::string& dir, bool force) {
    std::error_code ec;
    if (!fs::exists(dir, ec)) {
        return;
    }
    if (!fs::is_directory(dir, ec)) {
        fail(dir + ": exists and is not a directory");
    }
    const bool empty = fs::is_empty(dir, ec);
    if (!empty && !force) {
        fail(dir + ": exists and is not empty (--force remakes a board there)");
    }
    if (!empty && !fs::exists(dir + "/etc/board.conf", ec)) {
        fail(dir + ": is not a sandbox board; refusing to remake it");
    }
}

void put_programs(const Board& b, const std::string& busybox) {
    // A copy, never a hard link: the board's root may write to its own files, and must not
    // reach the workstation's BusyBox through them.
    b.copy_in(busybox, "bin/busybox");
    for (const char* applet : BIN_APPLETS) {
        b.symlink("busybox", std::string("bin/") + applet);
    }
    b.symlink("../../bin/busybox", "usr/bin/rx");
    for (const StandIn& s : STANDINS) {
        const std::string name = s.name;
        // The debugger comes to a board in a package; its stand-in waits in usr/lib/mpboard.
        const std::string where = name == "gdb" ? "usr/lib/mpboard/gdb" : "bin/" + name;
        b.write_text(where, s.text, 0755);
    }
    // Only named in LD_PRELOAD; the board's programs are static or scripts and do not load it.
    b.write_text("lib/libduma.so.0.0.0",
                 "sandbox board: stand-in for the DUMA memory-checking library\n");
}

// The flash erased, the I2C adapters present, the CPLD's registers 0, the configuration at its
// defaults and an empty log.
void put_devices(const Board& b) {
    for (const base::Partition& p : base::kPartitions) {
        b.write(platform::sandbox::board_file(p),
                std::vector<std::uint8_t>(platform::sandbox::made_size(p), 0xFF));
    }
    b.write_text("dev/i2c-0", "");
    b.write_text("dev/i2c-1", "");
    b.write("dev/lamel/cpld_mmmap", std::vector<std::uint8_t>(32, 0));
    b.write_text("etc/board.conf", default_conf_text());
    b.write_text("var/log/board.log", "");
}

}  // namespace

void create_board(const std::string& dir, const CreateOptions& options) {
    check_target(dir, options.force);
    if (!exists(options.busybox)) {
        fail(options.busybox + ": no BusyBox there (scripts/test builds it; --busybox or " +
             "MP_BUSYBOX names another)");
    }
    const Board b = Board::make(dir);
    // No one else reaches into the directory (and what a board makes in it).
    b.make_private();
    for (const char* sub : {"bin", "usr/bin", "sbin", "lib", "usr/lib/mpboard", "dev/lamel", "etc",
                            "var/log", "user", "tmp", "root", "proc", "run"}) {
        b.make_dirs(sub);
    }
    // A remade board starts like a new one: persistent and RAM filesystems empty, and no flash
    // that a cut of a virtual machine left in run/.
    b.empty_dir("user");
    b.empty_dir("tmp");
    b.empty_dir("run");
    put_programs(b, options.busybox);
    put_devices(b);

    std::vector<std::uint8_t> vpd(256, 0xFF);
    if (options.demo) {
        vpd[1] = 1;
        b.make_dirs("user/images");
        b.write(b.slot_file(1), demo_application(DEMO_SLOT1_VERSION));
        b.write(b.slot_file(2), demo_application(DEMO_SLOT2_VERSION));
        b.write_partition(base::partition(base::PartitionId::rescue),
                          demo_diagnostics(DEMO_DIAGS_VERSION));
    }
    b.write_vpd(vpd);
}

}  // namespace mpboard
