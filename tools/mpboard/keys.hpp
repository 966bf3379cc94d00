// mpboard keys: the public keys a sandbox board holds in /etc/mplaunch/keys.
#pragma once

#include <string>
#include <vector>

namespace mpboard {

extern const char* const KEYS_HELP;

// mpboard keys DIR add FILE.pub | list | remove NAME|KEYID
int cmd_keys(std::vector<std::string> args);

}  // namespace mpboard
