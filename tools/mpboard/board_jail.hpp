// Running things inside a board: the launcher (`mpboard run`), the installer (`mpboard
// install`) and the XMODEM receiver (`mpboard xmodem-receive`), each in the board's jail with
// the caller's standard streams.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "board.hpp"
#include "netns_pin.hpp"

namespace mpboard {

// What a jailed board's processes may take together (see jail.hpp), and the size of its /tmp
// during a run.
struct BoardLimits {
    long pids_max = 256;
    long long memory_max = 512LL << 20;
    std::string tmp_size = "256m";
};

struct RunOptions {
    std::string launcher;                    // host path of mplaunch-sandbox to run
    std::optional<std::string> clock_scale;  // this run only; board.conf is left as it is
    std::string netns;                       // pin the board's network namespace under this name
    bool ppc = false;                        // `launcher` is a static powerpc build
    std::string qemu;                        // static qemu-ppc for a powerpc launcher
    std::string confirm;                     // host path of mplaunch-confirm-sandbox
    std::string status;                      // host path of mplaunch-status-sandbox
    bool vm = false;                         // boot the board build in a virtual machine
    BoardLimits limits;
};

// Copies the confirm and status programs into the board as /usr/bin/mplaunch-confirm and
// /usr/bin/mplaunch-status (the host builds in every board, also one that boots the powerpc
// launcher): by `mpboard create` and before every run, as the launcher is.
void put_board_programs(const Board& board, const std::string& confirm, const std::string& status);

// Runs the launcher in the board and returns its wait status (for exit_like).
int run_board(const Board& board, const RunOptions& options);

struct InstallOptions {
    std::string package;  // host path
    int slot = 0;         // 0: the installer asks on the caller's terminal
    bool check_versions = false;
    bool allow_older = false;  // the operator's override of the board's security floor
};

// Prints the launcher's view of the board (mplaunch-status's code) inside the board, with the
// board's files (`clock_scale`: this command's clock.scale, board.conf unchanged); returns the
// wait status of the process that ran it.
int status_on_board(const Board& board, bool json, const std::optional<std::string>& clock_scale);

// Installs a package with the installer inside the board; returns the wait status of the
// process that ran it (exit status 0 when the installer's result was 1).
int install_on_board(const Board& board, const InstallOptions& options);

// Receives a file with the launcher's built-in XMODEM-1K receiver inside the board, on its
// serial line (this process's terminal), with the operator's speed dialogue; `file` is a path
// inside the board and stays there. Returns the wait status of the process that ran it (exit
// status 0 when data arrived and the transfer ended normally, 1 otherwise).
int xmodem_receive_on_board(const Board& board, const std::string& file);

}  // namespace mpboard
