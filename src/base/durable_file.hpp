// The one way a file is replaced so that a power cut leaves the old file or the whole new one:
// written under a temporary name beside it, synced, closed, renamed over it, and the directory
// synced. Boot attempts and slot files on the board, board files and packages on a workstation.
//
// In a place that someone else may have prepared (/user), the temporary file is made afresh
// (create_fresh: a link or FIFO at its name is removed, never followed) and an empty directory
// at the target's name is removed by the rename (rename_over). In the caller's own place the
// temporary name is the caller's or made unique, and the rename replaces only what a rename can.
// Until the rename has put it in place, the temporary file is removed when the owner goes.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/io.hpp"
#include "base/unique_fd.hpp"

namespace base {

class DurableFile {
public:
    enum class Place : std::uint8_t {
        untrusted,  // /user: nothing at either name is followed, an empty directory is replaced
        own,        // the caller's directory: the names are used as they are
    };
    // The step that failed; errno says why.
    enum class Step : std::uint8_t { none, create, sync, close, rename };

    // The temporary file `temp` made in the directory `dir` (AT_FDCWD: paths as they are) with
    // `mode` (less the umask), to replace `target` in the same directory. Check with operator bool.
    DurableFile(int dir, std::string temp, std::string target, mode_t mode, Place place);
    // A temporary name of its own beside the path `target`: `target` + ".partial-" and six
    // characters that no file there has; mode 0666 less the umask.
    static DurableFile beside(std::string target);

    DurableFile(DurableFile&& other) noexcept;
    DurableFile& operator=(DurableFile&&) = delete;
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;
    ~DurableFile();

    // The temporary file was made (else failed() is Step::create).
    explicit operator bool() const noexcept { return failed_ != Step::create; }
    int fd() const noexcept { return fd_.get(); }
    Step failed() const noexcept { return failed_; }

    // All of `bytes` at the file position, or at `offset` when given.
    Transfer write(std::span<const std::uint8_t> bytes,
                   std::optional<std::uint64_t> offset = std::nullopt) const noexcept {
        return write_all(fd_.get(), bytes, offset);
    }
    // Synced and closed: the contents are on disk under the temporary name. False with errno.
    bool finish() noexcept;
    // Renamed over the target and the directory synced. False with errno: the temporary file
    // is removed and the target stays as it was.
    bool replace() noexcept;
    bool commit() noexcept { return finish() && replace(); }

private:
    DurableFile(int dir, std::string temp, std::string target, Place place) noexcept;

    int dir_;
    std::string temp_;
    std::string target_;
    Place place_;
    UniqueFd fd_;
    bool replaced_ = false;
    Step failed_ = Step::none;
};

// Writes `bytes` as the whole of the file `path` in a place someone else may have prepared, through
// `path` + ".new" (mode 0644 less the umask). False with errno when `path` was not replaced.
bool write_durably(const char* path, std::span<const std::uint8_t> bytes);

}  // namespace base
