// Hooks for the installer's fuzz target only; the launcher never calls them.
#pragma once

#include <string>

// Puts the installer's fixed files ("/user/images/...", "/tmp/kaviximage.tar.gz") below `root`
// instead of "/", for a process that works outside a board's jail. "" restores "/".
void installer_set_root_for_tests(const std::string& root);
