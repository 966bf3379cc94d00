// Application launch: unpack the tarball in /tmp, hand the I2C buses back, and start the
// application in the mode the boot settings ask for. Also fetches the debugger from the other
// image slot for the local-debugger mode.
//
// With verify=on nothing runs that no key verified: the application or diagnostics record (boot
// path, rescue partition) and the debugger from the other slot carry their own signatures; the
// other modes run programs of the root filesystem (/bin/sh, /bin/gdbserver, libduma), which
// only the installer writes, from packages it verified when the board has keys.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>

#include "base/io.hpp"
#include "base/paths.hpp"
#include "base/unique_fd.hpp"
#include "base/untrusted_file.hpp"
#include "command/command.hpp"
#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "image/record_reader.hpp"
#include "image/signature.hpp"
#include "launch/launch_steps.hpp"
#include "platform/platform.hpp"
#include "release/release.hpp"

namespace {

using base::UniqueFd;
using command::run_command;
using command::run_formatted;

constexpr const char* kGdb = "/tmp/gdb";
constexpr const char* kGdbArchive = "/tmp/gdb.gz";

// The child modes: the launcher waits for the application (or its debugger) and the board is
// reset when it ends.
[[noreturn]] void run_until_end_then_reset(const char* command) {
    run_command(command);
    board_reset();
}

bool gdb_present() {
    struct stat st {};
    return stat(kGdb, &st) == 0;
}

// The launch mode for the boot history, as the branches below choose it.
const char* launch_mode(const BootSettings& settings) {
    if (settings.gdbserver_enable != 0) {
        return settings.memchk_enable != 0 ? "gdbserver-memchk" : "gdbserver";
    }
    if (settings.gdb_enable != 0) {
        return gdb_present() ? "gdb" : "gdb-missing";
    }
    return settings.memchk_enable != 0 ? "memchk" : "normal";
}

}  // namespace

void launch_image(const BootSettings& settings, std::uint8_t is_diags) {
    platform::clock_sleep(1);

    // tar's m: the board's clock may be far behind the build's time stamps.
    if (run_formatted("cd /tmp \ntar mxzf %s \nrm %s\n", base::kTarball, base::kTarball) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        board_reset();
    }
    api_i2c_close();

    if (is_diags != 0) {
        // The diagnostics tarball unpacks its executable at the top of /tmp; from here on it is
        // started exactly like the application.
        std::puts("install diags image");
        run_command("mkdir -p /tmp/home/bin");
        run_command("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }
    launch::journal::launched(launch_mode(settings));

    if (settings.shell_enable != 0) {
        std::puts("Dropping into shell");
        launch::operator_shell();
        std::puts("Dropping out of shell");
    }

    if (settings.gdbserver_enable != 0) {
        if (settings.memchk_enable != 0) {
            run_formatted(
                "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                static_cast<int>(settings.gdbport));
        } else {
            run_formatted("/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                          static_cast<int>(settings.gdbport));
        }
        board_reset();
    }
    if (settings.gdb_enable != 0) {
        if (gdb_present()) {
            std::puts("*** Launching under GDB ***");
            run_until_end_then_reset("/tmp/gdb /tmp/home/bin/mp.elf.strip");
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
    } else if (settings.memchk_enable != 0) {
        run_until_end_then_reset("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
    }

    // The ordinary start: /bin/backtrace takes the launcher's place and starts the application.
    std::fflush(stdout);
    std::fflush(stderr);
    platform::run_exec("/bin/backtrace");
    std::fputs("Failed to start Application OS.\n", stderr);
    board_reset();
}

int extract_gdb(const BootSettings& settings, int slot) {
    if (slot != 1 && slot != 2) {
        return 0;
    }
    const int other = 3 - slot;
    std::printf("Extracting GDB from image slot %d\n", other);

    // Like a slot file that is booted: a link, FIFO or directory there is no debugger.
    base::Found found{};
    UniqueFd slot_file = base::open_regular(base::slot_path(other), found);
    if (!slot_file) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other);
        launch::journal::debugger(other,
                                  found == base::Found::not_regular ? "not-a-file" : "missing");
        return 0;
    }
    UniqueFd archive(::open(kGdbArchive, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!archive) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        launch::journal::debugger(other, "no-tarball");
        return 0;
    }

    // A file shorter than a header leaves the missing bytes 0, which no type matches.
    const image::FileSource source = image::FileSource::of_fd(slot_file.get());
    std::uint8_t probe[RECORD_PROBE_SIZE] = {};
    static_cast<void>(image::read_probe(source, 0, probe));
    const RecordHeader h = parse_probe(probe);
    if (h.type() != IMAGE_APPLICATION && h.type() != IMAGE_DIAGS) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        launch::journal::debugger(other, "no-record");
        return 0;
    }
    std::printf("Found GDB image %d of length = %u.\n", other, h.len);

    // The debugger runs as root: nothing of it is written before its whole record passed its CRC
    // check and, with verify=on, its own signature by a key of the board, as the application's
    // must. Refused, it is left out, and the launch takes the debugger-missing mode.
    image::LoadedRecord record;
    if (image::load_record(source, 0, h, record) != image::LoadResult::loaded || !record.intact()) {
        std::fprintf(stderr, "GDB image %d CRC failed, not using it.\n", other);
        launch::journal::debugger(other, "crc");
        return 0;
    }
    if (settings.verify_enable != 0) {
        std::uint32_t counter = 0;
        if (!signing::check_slot_record(source, 0, record.bytes, signing::kKeysDir, &counter)) {
            std::fprintf(stderr, "GDB image %d signature not verified, not using it.\n", other);
            launch::journal::debugger(other, "signature");
            return 0;
        }
        if (const release::FloorRefusal below = release::floor_refusal(counter); below.verdict) {
            std::fprintf(stderr, "GDB image %d %s, not using it.\n", other, below.text.c_str());
            launch::journal::debugger(other, below.verdict);
            return 0;
        }
    }
    static_cast<void>(base::write_all(archive.get(), record.payload()));
    slot_file.reset();
    archive.reset();

    launch::journal::debugger(other, "used");
    std::puts("decompressing GDB....");
    run_command("gunzip /tmp/gdb.gz");
    run_command("chmod +x /tmp/gdb");
    return 1;
}
