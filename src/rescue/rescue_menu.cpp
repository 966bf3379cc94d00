// The rescue menu: single-letter options on the console, read one key at a time. T and X
// download and install a package, R reboots, E goes on with the boot; H (versions), D
// (standalone diagnostics, with an optional wipe of /user) and U are not shown in the menu.
#include "rescue/rescue_menu.hpp"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "base/byte_order.hpp"
#include "base/interrupt.hpp"
#include "command/command.hpp"
#include "console/console.hpp"
#include "image/record.hpp"
#include "installer/installer.hpp"
#include "platform/platform.hpp"
#include "rescue/rescue_download.hpp"

namespace {

RescueActions launcher_actions;

void show_menu() {
    std::puts("Please select one of the following options:");
    std::printf("\t%c) Configure networking and tftp download an image\n", 'T');
    std::printf("\t%c) Use xmodem 1K to serial download an image\n", 'X');
    std::printf("\t%c) Reboot\n", 'R');
    std::printf("\t%c) Exit\n", 'E');
}

// The option key, echoed as read (also a 0 from an interrupted read).
std::uint8_t ask_option() {
    std::fputs("\nOption? : ", stdout);
    std::fflush(stdout);
    const std::uint8_t key = uartGetC();
    std::printf("%c\n", key);
    return key;
}

bool is_option(int letter) {
    switch (letter) {
        case 'T':
        case 'X':
        case 'U':
        case 'H':
        case 'R':
        case 'D':
        case 'E':
            return true;
        default:
            return false;
    }
}

void clear_quit_flag() {
    sig_quit_raised.store(0);
}

// "\t<label>: a.b.c.d", the labels padded to one width.
struct VersionLine {
    const char* label;
    std::uint32_t type;
    std::int32_t slot;
};

constexpr VersionLine kVersionLines[] = {
    {"Boot image  ", IMAGE_BOOT, 0},        {"RFS image   ", IMAGE_RFS, 0},
    {"Kernel image", IMAGE_KERNEL, 0},      {"DFT image   ", IMAGE_DFT, 0},
    {"OS image 1  ", IMAGE_APPLICATION, 1}, {"OS image 2  ", IMAGE_APPLICATION, 2},
};

// The wipe of /user before a diagnostics boot: each step is announced, then run to its end.
struct WipeStep {
    const char* announcement;
    const char* command;
};

constexpr WipeStep kWipeSteps[] = {
    {"unmount filesystem", "/bin/umount /user &> /dev/null"},
    {"\nErasing filesystem for clean install", "flash_eraseall /dev/mtd-user-char"},
    {"Mounting...", "/bin/mount -o sync -t jffs2 /dev/mtd-user /user &> /dev/null"},
    {"creating default filesystem", "mkdir /user/images &> /dev/null"},
};

}  // namespace

int run_rescue_mode() {
    std::puts("Entering Rescue Mode.");
    for (;;) {
        show_menu();
        int option = 0;
        for (;;) {
            const std::uint8_t key = ask_option();
            // A console that can give no key any more (its line has gone) cannot choose: the
            // board goes on booting as after E rather than asking for ever.
            if (console_input_ended()) {
                return 1;
            }
            if (sig_quit_raised.load() != 0) {
                clear_quit_flag();
                continue;
            }
            if (key == 0) {
                continue;
            }
            option = std::toupper(key);
            if (is_option(option)) {
                break;
            }
            std::printf("unknown option \"%c\". Please try again\n", option);
        }
        switch (option) {
            case 'T':
                run_tftp_rescue();
                break;
            case 'X':
                run_xmodem_rescue();
                break;
            case 'H':
                run_image_display();
                break;
            case 'D':
                run_standalone_diags();
                break;
            case 'R':
                platform::clock_sleep(1);
                if (launcher_actions.reset != nullptr) {
                    launcher_actions.reset();
                }
                return 1;
            case 'E':
                return 1;
            default:  // U: a letter without an action of its own
                std::printf("Unknown option %d. Quitting\n", option);
                return 1;
        }
        if (sig_quit_raised.load() != 0) {
            clear_quit_flag();
        }
    }
}

int run_image_display() {
    std::puts("Installed images versions: ");
    std::uint8_t header[RECORD_HEADER_SIZE];
    for (const VersionLine& line : kVersionLines) {
        static_cast<void>(read_flash_image_header(line.type, header, line.slot));
        const std::uint32_t id = be32_at(header, 12);
        std::printf("\t%s: %d.%d.%d.%d\n", line.label, static_cast<int>(id >> 24),
                    static_cast<int>(id >> 16 & 0xFF), static_cast<int>(id >> 8 & 0xFF),
                    static_cast<int>(id & 0xFF));
    }
    return 0;
}

int run_standalone_diags() {
    std::fputs(
        "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: ",
        stdout);
    std::fflush(stdout);
    const std::uint8_t key = uartGetC();
    std::putchar('\n');
    if (key == 'Y' || key == 'y') {
        for (const WipeStep& step : kWipeSteps) {
            std::puts(step.announcement);
            command::run_command(step.command);
        }
    }
    std::puts("Booting diags image...");
    if (launcher_actions.boot_from_flash != nullptr) {
        launcher_actions.boot_from_flash();
    }
    return 1;
}

void rescue_set_actions(const RescueActions& actions) {
    launcher_actions = actions;
}
