// The image package installer: writes the records of a downloaded package to their homes on the
// board, and looks up the headers of what is installed.
//
// Homes: the boot loader's payload, and the whole kernel, root filesystem, device tree and
// diagnostics records, go to offset 0 of their flash partitions; an application record goes
// whole into the image slot file "/user/images/image1" or "/user/images/image2", or is booted at
// once when the operator declines to choose a slot.
//
// A slot file is replaced whole or not at all: the record is written beside it as
// "/user/images/imageN.new", synced, and renamed over it; only then is the slot named in the VPD.
// A power cut in the middle leaves the old slot file (and a stray .new file, which the next
// installation removes and the boot path never reads). /user therefore needs room for a second
// copy of the largest application record while it is written.
//
// The flash partitions must have been opened (api_flash_init) and, for the slot byte, the I2C
// buses (api_i2c_init) before a package is installed, as the launcher's start-up does.
#pragma once

#include <cstdint>

#include "installer/install_record.hpp"

// Installs the package in file `path`, after a check of every record it would install (whole,
// intact, within the installer's limit and its partition's size): a package with one bad record
// changes nothing, and the operator sees the bad record's heading and line. Records of unknown
// type and a tail shorter than a record header are passed over, as in the installation.
// `check_versions` non-zero skips every record whose header equals the header of the installed
// image. `slot` 1 or 2 is the image slot for application records; 0 asks the operator on the
// console, and an empty answer boots the record at once (the call then never returns). Returns 1
// when the package was read to its end and at least one record was written, 0 otherwise.
int processLamelImage(const char* path, std::uint8_t check_versions, std::int32_t slot);

// processLamelImage with the operator's release override: `allow_older` installs a package
// whose security counter is below the board's floor (said on the console and recorded in
// /user/images/overrides). `refused` (when given) tells whether the package was refused for its
// counter alone, so that the caller can ask the operator. Every call adds one entry to the
// board's install records (install_record.hpp) with `origin` (processLamelImage's: "unknown").
enum class InstallRefusal { none, below_floor };
int install_package(const char* path, std::uint8_t check_versions, std::int32_t slot,
                    bool allow_older, InstallRefusal* refused, const InstallOrigin& origin);

// What the installer calls to boot an application record at once, after writing its payload to
// the tarball: the launcher hands in its launch_image at start-up (the launcher's layer is above
// this one). Never returns. Without it, declining a slot ends the installation with 0.
using InstallerBoot = void (*)(std::uint8_t is_diags);
void installer_set_boot(InstallerBoot boot);

// Fills the 16 bytes at `header` with the stored header of the installed image of record type
// `type` (for IMAGE_APPLICATION, the first 16 bytes of the file of image slot `slot`; for
// IMAGE_BOOT, the header copy at byte 240 of the boot-loader partition; for the others, offset 0
// of their partition). Bytes that cannot be read stay 0. Returns 1 when the lookup was made, 0
// for a null buffer, an unknown type or a slot file that cannot be opened.
int read_flash_image_header(std::uint32_t type, std::uint8_t* header, std::int32_t slot);

// 1 when the 16-byte record header at `header` equals the stored header of the installed image
// of its type (the boot loader on len, magic and id only, since its copy carries no crc), else 0.
int verifyMatchingHeaders(const std::uint8_t* header, std::int32_t slot);

// For a factory programmer that is not the launcher: opens the I2C buses and the flash as the
// start-up does, installs the package, and closes the buses again. Same texts and result as
// processLamelImage. Call it once per process (the flash partitions stay open).
int install_package_on_board(const char* path, std::uint8_t check_versions, std::int32_t slot,
                             bool allow_older = false, const InstallOrigin& origin = {});
