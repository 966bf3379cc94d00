// mpboard's file primitives: whole reads, writes that no reader sees half done and the emptying
// of a directory, on the workstation's paths or relative to a directory descriptor (a board's).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mpboard {

inline std::span<const std::uint8_t> bytes_of(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Everything from the descriptor's position to the end of the file; failures name `shown`.
std::vector<std::uint8_t> read_all(int fd, const std::string& shown);
std::vector<std::uint8_t> read_file(const std::string& path);

// `bytes` as `name` in the directory `dir_fd`: written under a temporary name beside it, synced
// and renamed over the name (which replaces a symbolic link there instead of following it).
void write_atomic_at(int dir_fd, const std::string& name, std::span<const std::uint8_t> bytes,
                     unsigned mode, const std::string& shown);
// The same for a workstation path.
void write_text_atomic(const std::string& path, std::string_view text, unsigned mode = 0644);

// Goes through everything below the directory `top`, never following a symbolic link, at any
// depth with two descriptors of the tree open at most: a directory is left through "..", which
// must be the directory the walk came from. `enter` sees each entry (with lstat's answer) in the
// directory `dir_fd`, and a directory is gone into when it returns true; `leave` sees the
// directory again, from its parent, once everything in it was seen.
using Visit = std::function<bool(int dir_fd, const std::string& name, const struct stat& st)>;
using Leave = std::function<void(int dir_fd, const std::string& name)>;
void walk_tree(int top, const std::string& shown, const Visit& enter, const Leave& leave);

// Removes what the directory `dir_fd` holds, never following a symbolic link. A directory of the
// caller's own that even the caller may not enter is opened up for it.
void remove_contents(int dir_fd, const std::string& shown);

// Takes S_ISUID and S_ISGID off the directory `dir_fd` and everything under it, never following
// a symbolic link. A directory of the caller's own that the caller may not enter (mode 0405) is
// opened up for the walk and given back its mode; one of another account's fails by name.
void clear_set_id_bits(int dir_fd, const std::string& shown);

// {"a/b", "c"} for "a/b/c", {".", "c"} for "c".
std::pair<std::string, std::string> split_parent(std::string_view path);

bool exists(const std::string& path);
void make_dirs(const std::string& path);

}  // namespace mpboard
