// Files in places that someone other than this program may have prepared (/user survives every
// boot and holds what anyone with a shell put there): opened without following a symbolic link,
// without waiting on a FIFO or a device, and used only when they are regular files. A file made
// here is made afresh, never opened through whatever already had its name.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include "base/unique_fd.hpp"

namespace base {

// What open_regular found at a path.
enum class Found {
    regular,      // opened
    missing,      // nothing there (ENOENT)
    not_regular,  // a symbolic link, FIFO, socket, device or directory: not opened
    failed,       // the open itself failed (errno)
};

// Opens the regular file at `path` read-only. A name that is not a regular file is never
// opened, so a FIFO cannot block the caller and a device sees no open.
UniqueFd open_regular(const char* path, Found& found);

// Below, a path is taken in the directory `dir` when it is not absolute (AT_FDCWD: as it is).

// Removes whatever has the name `path` without following it: a file, link, FIFO, socket or
// device is unlinked, an empty directory removed. True when nothing has the name any more
// (also when nothing had); false with errno (a directory that is not empty: ENOTEMPTY).
bool remove_entry(const char* path, int dir = AT_FDCWD);

// Creates `path` afresh for writing (O_EXCL): whatever had the name goes first (remove_entry).
UniqueFd create_fresh(const char* path, mode_t mode, int dir = AT_FDCWD);

// Renames the complete file `from` over `to` and syncs their directory, so that a power cut
// leaves either the old file or the new one. An empty directory at `to` is removed first;
// anything else there is replaced by the rename itself, never followed. False with errno when
// it is not replaced (`from` is then removed).
bool rename_over(const char* from, const char* to, int dir = AT_FDCWD);

// Syncs the directory that holds `path`, so that a rename in it outlives a power cut.
void sync_parent(const char* path, int dir = AT_FDCWD);

}  // namespace base
