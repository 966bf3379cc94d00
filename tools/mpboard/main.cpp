// mpboard: sandbox boards for the launcher, on a workstation.

#include <cstdio>
#include <string>

#include "commands/commands.hpp"
#include "common/tool_main.hpp"
#include "failure.hpp"

namespace mpboard {
namespace {

const char* const MAIN_HELP =
    "usage: mpboard COMMAND DIR ...\n"
    "\n"
    "A sandbox board is a directory that is the whole world of the launcher: flash partitions,\n"
    "VPD EEPROM, I2C and CPLD as files, BusyBox and the board's stand-in programs, /user and\n"
    "/tmp. The launcher runs in it jailed (own user, mount, PID and network namespaces).\n"
    "\n"
    "  create DIR [--demo] [--force] [--busybox FILE]   make a board (flash and VPD erased)\n"
    "  env DIR [NAME=VALUE ...]                  print or set the U-Boot environment\n"
    "  vpd DIR [OFFSET[=VALUE] ...]              print or set VPD EEPROM bytes\n"
    "  slot DIR 1|2 PACKAGE|--remove             put a package into an image slot, or remove it\n"
    "  flash DIR PARTITION FILE                  raw bytes at offset 0 of a flash partition\n"
    "  conf DIR [KEY=VALUE ...]                  print or set etc/board.conf keys\n"
    "  run DIR [--clock-scale X] [--netns NAME] [--ppc] [--vm] [--launcher FILE]\n"
    "          [--pids-max N] [--memory-max BYTES]\n"
    "                                            boot the board: the launcher on this terminal\n"
    "  link DIR up|down                          switch eth0's link of a board's virtual machine\n"
    "  install DIR PACKAGE [--slot 1|2] [--check-versions]\n"
    "                                            the installer inside the board\n"
    "  xmodem-receive DIR FILE                   receive FILE by XMODEM-1K on the board's line\n"
    "  log DIR [--clear]                         print (or empty) the board log\n"
    "  status DIR [--json]                       the launcher's view: slots, boots, installs\n"
    "  keys DIR add FILE.pub|list|remove KEY     the board's public keys for signed packages\n"
    "  describe [--json]                         the partitions and board.conf keys of a board\n"
    "\n"
    "mpboard COMMAND --help explains each command.\n"
    "Exit status: 0 ok, 1 failure, 2 usage; run and install: the board program's own status.\n";

const host_tools::ToolCommand COMMANDS[] = {
    {"create", run_create, create_help},
    {"env", run_env, env_help},
    {"vpd", run_vpd, vpd_help},
    {"slot", run_slot, slot_help},
    {"flash", run_flash, flash_help},
    {"conf", run_conf, conf_help},
    {"run", run_run, run_help},
    {"link", run_link, link_help},
    {"install", run_install, install_help},
    {"log", run_log, log_help},
    {"status", run_status, status_help},
    {"xmodem-receive", run_xmodem_receive, xmodem_receive_help},
    {"describe", run_describe, describe_help},
    {"keys", run_keys, keys_help},
};

[[noreturn]] void unknown_command(const std::string& name) {
    std::fputs(MAIN_HELP, stderr);
    usage_fail("unknown command '" + name + "'");
}

}  // namespace
}  // namespace mpboard

int main(int argc, char** argv) {
    const host_tools::CommandTable table{mpboard::MAIN_HELP, mpboard::COMMANDS, mpboard::EXIT_OK,
                                         mpboard::EXIT_USAGE, mpboard::unknown_command};
    return host_tools::tool_main("mpboard", mpboard::EXIT_FAILED,
                                 [&] { return host_tools::run_command_table(table, argc, argv); });
}
