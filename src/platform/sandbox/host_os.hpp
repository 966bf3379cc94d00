// The sandbox's only contact with the host kernel: every system call that the emulators, the
// clock and the command runner make goes through here (as U-Boot's sandbox keeps them in os.c).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/unique_fd.hpp"

namespace platform::sandbox::host {

using base::UniqueFd;

// Opens a backing file; -1 and errno on failure. Only regular files are accepted (ENODEV
// otherwise), so a board path can never reach one of the host's real devices.
int open_backing(const std::string& path, int flags, mode_t mode = 0);
// Size of an open regular file, -1 on failure.
off_t file_size(int fd);
// Reads up to data.size() bytes from `offset` on: fewer only at the end of the file. The bytes
// read, -1 and errno on failure.
ssize_t read_at(int fd, std::span<std::uint8_t> data, off_t offset);
// Writes every byte at `offset`; false and errno otherwise.
bool write_at(int fd, std::span<const std::uint8_t> data, off_t offset);
// Appends the line on an O_APPEND descriptor, creating the file.
bool append_line(const std::string& path, std::string_view line);
// mkdir -p of a directory (mode 0755); true when it exists afterwards.
bool make_dirs(const std::string& path);
bool exists(const std::string& path);
bool on_tmpfs(const std::string& path);
// True in a PID namespace other than the host's first one: a board's jail always has its own, a
// workstation never is in one, whatever files it holds.
bool in_child_pid_namespace();
// The whole content of a small text file, nullopt when it cannot be read.
std::optional<std::string> read_text(const std::string& path);

// Sleeps; on a signal returns the part of the time that was not slept, else 0.
unsigned long long sleep_ns(unsigned long long ns);

void flush_output();
int shell(const char* command);
int exec_program(const char* program);

// The power cut: SIGKILL to every process of the board's PID namespace but its init
// (kill(-1) inside the namespace; whole_board false kills only this process), then to this
// process. Returns only if this process outlived its own SIGKILL, which must never happen.
void kill_board(bool whole_board);

}  // namespace platform::sandbox::host
