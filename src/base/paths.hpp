// The fixed paths of the launcher's world, the same on the board and inside a sandbox board.
#pragma once

namespace base {

// The application tarball that a boot unpacks in /tmp.
inline constexpr const char* kTarball = "/tmp/kaviximage.tar.gz";
// Where a rescue download lands and the installer reads it.
inline constexpr const char* kDownloadImage = "/tmp/image";
// The directory of the two image slot files.
inline constexpr const char* kImagesDir = "/user/images";

// "/user/images/image1" or "/user/images/image2" (any slot but 2 is slot 1).
constexpr const char* slot_path(int slot) noexcept {
    return slot == 2 ? "/user/images/image2" : "/user/images/image1";
}

}  // namespace base
