// Application launch: unpack the tarball in /tmp, hand the I2C buses back, and start the
// application in the mode the boot flags ask for. Also fetches the debugger from the other
// image slot for the local-debugger mode.
#include <sys/stat.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <memory>

#include "i2c/i2c.hpp"
#include "image/record.hpp"
#include "launch/launch_steps.hpp"
#include "platform/platform.hpp"

namespace {

using launch::File;

// The command line being built or run. Every line below is far shorter.
std::array<char, 256> stringbuff{};

constexpr const char* kGdb = "/tmp/gdb";
constexpr const char* kGdbArchive = "/tmp/gdb.gz";

__attribute__((format(printf, 1, 2))) int run_formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(stringbuff.data(), stringbuff.size(), format, args);
    va_end(args);
    return launch::run_command(stringbuff.data());
}

// The child modes: the launcher waits for the application (or its debugger) and the board is
// reset when it ends.
[[noreturn]] void run_until_end_then_reset(const char* command) {
    launch::run_command(command);
    board_reset();
}

bool gdb_present() {
    struct stat st {};
    return stat(kGdb, &st) == 0;
}

}  // namespace

void launch_image(std::uint8_t is_diags) {
    platform::clock_sleep(1);

    // tar's m: the board's clock may be far behind the build's time stamps.
    if (run_formatted("cd /tmp \ntar mxzf %s \nrm %s\n", launch::kTarball, launch::kTarball) < 0) {
        std::fputs("Failed to gunzip Application OS.\n", stderr);
        board_reset();
    }
    api_i2c_close();

    if (is_diags != 0) {
        // The diagnostics tarball unpacks its executable at the top of /tmp; from here on it is
        // started exactly like the application.
        std::puts("install diags image");
        launch::run_command("mkdir -p /tmp/home/bin");
        launch::run_command("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip");
    }

    if (shell_enable != 0) {
        std::puts("Dropping into shell");
        launch::operator_shell();
        std::puts("Dropping out of shell");
    }

    if (gdbserver_enable != 0) {
        if (memchk_enable != 0) {
            run_formatted(
                "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                static_cast<int>(gdbport));
        } else {
            run_formatted("/bin/gdbserver :%d /tmp/home/bin/mp.elf.strip\n",
                          static_cast<int>(gdbport));
        }
        board_reset();
    }
    if (gdb_enable != 0) {
        if (gdb_present()) {
            std::puts("*** Launching under GDB ***");
            run_until_end_then_reset("/tmp/gdb /tmp/home/bin/mp.elf.strip");
        }
        std::puts("**** GDB mode selected but GDB not available. Please install GDB image ***");
    } else if (memchk_enable != 0) {
        run_until_end_then_reset("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n");
    }

    // The ordinary start: /bin/backtrace takes the launcher's place and starts the application.
    std::fflush(stdout);
    std::fflush(stderr);
    platform::run_exec("/bin/backtrace");
    std::fputs("Failed to start Application OS.\n", stderr);
    board_reset();
}

int extract_gdb(int slot) {
    if (slot != 1 && slot != 2) {
        return 0;
    }
    const int other = 3 - slot;
    std::printf("Extracting GDB from image slot %d\n", other);

    File image(std::fopen(launch::slot_path(other), "rb"));
    if (!image) {
        std::fprintf(stderr, "Failed to open GDB image (from slot %d)\n", other);
        return 0;
    }
    File archive(std::fopen(kGdbArchive, "wb"));
    if (!archive) {
        std::fputs("Failed to open GDB output file.\n", stderr);
        return 0;
    }

    // A file shorter than a header leaves the missing bytes 0, which no type matches.
    std::uint8_t probe[RECORD_PROBE_SIZE] = {};
    static_cast<void>(std::fread(probe, 1, sizeof probe, image.get()));
    const RecordHeader h =
        parse_probe(std::span<const std::uint8_t, RECORD_PROBE_SIZE>(probe, RECORD_PROBE_SIZE));
    if (h.type() != IMAGE_APPLICATION && h.type() != IMAGE_DIAGS) {
        std::fprintf(stderr, "Image has invalid header 0x%x\n", h.magic);
        return 0;
    }
    std::printf("Found GDB image %d of length = %u.\n", other, h.len);

    // Copy in pieces, and only what the file holds: a slot file that ends before the len bytes
    // its header announces gives a shorter archive, which gunzip then rejects.
    if (std::fseek(image.get(), static_cast<long>(h.header_length()), SEEK_SET) == 0) {
        std::array<std::uint8_t, 16384> chunk{};
        std::uint32_t left = h.len;
        while (left > 0) {
            const std::size_t want = left < chunk.size() ? left : chunk.size();
            const std::size_t n = std::fread(chunk.data(), 1, want, image.get());
            if (n == 0 || std::fwrite(chunk.data(), 1, n, archive.get()) != n) {
                break;
            }
            left -= static_cast<std::uint32_t>(n);
        }
    }
    image.reset();
    archive.reset();

    std::puts("decompressing GDB....");
    launch::run_command("gunzip /tmp/gdb.gz");
    launch::run_command("chmod +x /tmp/gdb");
    return 1;
}
