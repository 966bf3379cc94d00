// The mpboard commands, one file each with its help. Each takes the arguments after its name and
// returns the exit status (run, install and xmodem-receive end like the board program they ran);
// failures are thrown as mpboard::Failure (failure.hpp).
#pragma once

#include <string>

#include "common/args.hpp"

namespace mpboard {

using host_tools::Args;

int run_create(const Args& args);
int run_env(const Args& args);
int run_vpd(const Args& args);
int run_slot(const Args& args);
int run_flash(const Args& args);
int run_conf(const Args& args);
int run_run(const Args& args);
int run_link(const Args& args);
int run_install(const Args& args);
int run_log(const Args& args);
int run_xmodem_receive(const Args& args);
int run_describe(const Args& args);
int run_keys(const Args& args);
int run_status(const Args& args);

std::string create_help();
std::string env_help();
std::string vpd_help();
std::string slot_help();
std::string flash_help();
std::string conf_help();
std::string run_help();
std::string link_help();
std::string install_help();
std::string log_help();
std::string xmodem_receive_help();
std::string describe_help();
std::string keys_help();
std::string status_help();

}  // namespace mpboard
