// The rescue downloads: a package fetched into /tmp/image by the board's TFTP client over the
// management port, or by its XMODEM receiver over the console line, then installed.
#include "rescue/rescue_download.hpp"

#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "base/interrupt.hpp"
#include "base/net.hpp"
#include "base/paths.hpp"
#include "base/unique_fd.hpp"
#include "command/command.hpp"
#include "console/console.hpp"
#include "installer/installer.hpp"
#include "mgmt/mgmt_port.hpp"
#include "platform/platform.hpp"
#include "xmodem/serial_switch.hpp"

namespace {

constexpr const char* kDownload = base::kDownloadImage;
constexpr int kTftpAttempts = 3;
constexpr std::size_t kAnswerSize = 128;
// "tftp -g -r %s -l /tmp/image %s\n" with a 127-character name and a 15-character address.
constexpr std::size_t kTftpCommandSize = 170;

bool download_exists() {
    struct stat st {};
    return ::stat(kDownload, &st) == 0;
}

// Only what this download brings may be installed: a package left by an earlier download would
// otherwise pass the existence test after a failed one.
void remove_earlier_download() {
    static_cast<void>(::unlink(kDownload));
}

// The file name goes into a shell command line. Only characters that a shell takes literally
// and that file names on a TFTP server use are accepted, so nothing typed can become syntax
// (no blank, quote, $, ;, |, &, redirection, glob or backslash).
bool safe_name_character(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("._-/+:@,").find(static_cast<char>(c)) != std::string_view::npos;
}

bool acceptable_file_name(std::string_view name) {
    if (name.size() < 2) {
        return false;
    }
    for (const char c : name) {
        if (!safe_name_character(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// 0 when the operator quit; otherwise the accepted name is in `name`.
int ask_file_name(char (&name)[kAnswerSize]) {
    for (;;) {
        std::fputs("Image Filename: ", stdout);
        std::fflush(stdout);
        get_user_input(name, sizeof name);
        if (acceptable_file_name(name)) {
            return 1;
        }
        if (std::strcmp(name, "q") == 0 || sig_quit_raised.load() != 0 || console_input_ended()) {
            return 0;
        }
        std::puts("Invalid filename. Try again please");
    }
}

// Installs the download. A package refused only because it is older than the board's floor is
// installed after all when the operator says so (the default is no).
int install_download(const InstallOrigin& origin) {
    InstallRefusal refused = InstallRefusal::none;
    const int result = install_package(kDownload, 0, 0, false, &refused, origin);
    if (refused != InstallRefusal::below_floor) {
        return result;
    }
    std::fputs("Install the older package anyway? (y/N): ", stdout);
    std::fflush(stdout);
    char answer[kAnswerSize] = {};
    get_user_input(answer, sizeof answer);
    if (answer[0] != 'y' && answer[0] != 'Y') {
        return result;
    }
    return install_package(kDownload, 0, 0, true, nullptr, origin);
}

}  // namespace

int run_tftp_rescue() {
    std::puts("Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):");
    std::uint8_t dhcp = 0;
    std::uint32_t ip = 0;
    std::uint32_t netmask = 0;
    std::uint32_t gateway = 0;
    std::uint32_t server = 0;
    const char port = '1';
    if (mgmt_port_params(port, &dhcp, &ip, &netmask, &gateway, 0) == 0) {
        return 0;
    }
    if (get_ip_addr("Server addr:", &server, 1, 1) == 0) {
        return 0;
    }
    char name[kAnswerSize];
    if (ask_file_name(name) == 0) {
        return 0;
    }
    if (sig_quit_raised.load() != 0) {
        return 0;
    }
    static_cast<void>(mgmt_port_configure(0, port, ip, netmask, gateway));

    char server_text[INET_ADDRSTRLEN];
    base::dotted(server, server_text);
    for (int attempt = 1; attempt <= kTftpAttempts; ++attempt) {
        if (sig_quit_raised.load() != 0) {
            return 0;
        }
        std::printf("Installing image %s from TFTP server %s\n", name, server_text);
        remove_earlier_download();
        char command[kTftpCommandSize];
        std::snprintf(command, sizeof command, "tftp -g -r %s -l /tmp/image %s\n", name,
                      server_text);
        static_cast<void>(command::run_command(command));
        if (download_exists()) {
            break;
        }
        std::printf("Attempt %d/3 of tftp timed out\n", attempt);
        platform::clock_sleep(3);
    }
    if (!download_exists()) {
        std::puts("Tftp download failed. Aborting");
        return 0;
    }
    return install_download({.source = "tftp", .from = std::string(server_text) + ":" + name});
}

int run_xmodem_rescue() {
    std::puts("Running xmodem rescue.....");
    base::UniqueFd line(init_serial());
    if (!line) {
        // Without the line there is nothing to download on and nothing to switch back; an
        // earlier /tmp/image is not installed in its place.
        std::puts("Serial download not possible. Aborting");
        return 0;
    }
    remove_earlier_download();
    static_cast<void>(command::run_command("/usr/bin/rx /tmp/image"));
    const bool arrived = download_exists();
    reset_serial(line.get());
    line.reset();
    if (!arrived) {
        return 0;
    }
    return install_download({.source = "xmodem", .from = "console"});
}
