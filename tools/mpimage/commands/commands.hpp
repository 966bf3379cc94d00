// The mpimage commands. Each takes the arguments after its name and returns the exit status;
// failures are thrown as mpimage::Failure.
#pragma once

#include <string>

#include "common/args.hpp"
#include "package_file.hpp"

namespace mpimage {

using host_tools::Args;

// Misuse: "<command>: unknown option '<argument>' (try --help)", exit status 2.
inline constexpr host_tools::ArgRules ARG_RULES{"unknown option", usage_error};

int run_create(const Args& args);
int run_list(const Args& args);
int run_verify(const Args& args);
int run_extract(const Args& args);
int run_keygen(const Args& args);
int run_sign(const Args& args);

std::string create_help();
std::string list_help();
std::string verify_help();
std::string extract_help();
std::string keygen_help();
std::string sign_help();

}  // namespace mpimage
