// The installer's files on /user and /tmp: the slot files, replaced whole or not at all, and the
// tarball of a record booted at once. Internal to the installer.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace installer {

// "" on the board; a directory under the build tree for the fuzz target.
void set_file_root(const std::string& root);

// A fixed path of the board below the file root.
std::string board_path(const std::string& path);
// "/user/images/imageN" below the file root.
std::string slot_path(std::int32_t slot);

// Removes what a power cut may have left of an earlier installation ("imageN.new").
void remove_stale_slot_copies();

// Writes `record` beside slot file `slot` in 64 KiB pieces with the percentage after each,
// then `trailer` (the record's own signature record, or nothing), syncs it and renames it over the
// slot file, with the operator's messages. False (and nothing changed under the slot file's name)
// on any failure.
bool write_slot_file(std::int32_t slot, std::span<const std::uint8_t> record,
                     std::span<const std::uint8_t> trailer = {});

// Writes the payload of a record booted at once to the tarball, with the operator's messages.
bool write_tarball(std::span<const std::uint8_t> payload);

}  // namespace installer
