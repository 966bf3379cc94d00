// The mpimage commands. Each takes the arguments after its name and returns the exit status;
// failures are thrown as mpimage::Failure.
#pragma once

#include <string>
#include <vector>

namespace mpimage {

using Args = std::vector<std::string>;

int run_create(const Args& args);
int run_list(const Args& args);
int run_verify(const Args& args);
int run_extract(const Args& args);
int run_keygen(const Args& args);
int run_sign(const Args& args);

extern const char* const CREATE_HELP;
extern const char* const LIST_HELP;
extern const char* const VERIFY_HELP;
extern const char* const EXTRACT_HELP;
extern const char* const KEYGEN_HELP;
extern const char* const SIGN_HELP;

}  // namespace mpimage
