// `mpboard create`: a new board directory with its programs, devices and configuration.
#pragma once

#include <string>
#include <vector>

namespace mpboard {

struct CreateOptions {
    bool demo = false;
    bool force = false;
    std::string busybox;  // the static BusyBox to put in the board
};
void create_board(const std::string& dir, const CreateOptions& options);

// The stand-in programs from standins/, by file name.
struct StandIn {
    const char* name;
    const char* text;
};
extern const std::vector<StandIn> STANDINS;

}  // namespace mpboard
