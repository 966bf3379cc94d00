// The kernel's initramfs format (cpio "newc"), written in memory: the root of a board's virtual
// machine.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace mpboard {

// An entry's owner and modification time in an initramfs.
struct InitramfsOwner {
    unsigned uid = 0;
    unsigned gid = 0;
    std::uint32_t mtime = 0;
};

// An archive in the kernel's initramfs format (cpio "newc"), built in memory. A file's parent
// directories are made first, each once.
class Initramfs {
public:
    using Owner = InitramfsOwner;
    void dir(const std::string& path, unsigned mode = 0755, const Owner& owner = {});
    void file(const std::string& path, const std::vector<std::uint8_t>& bytes, unsigned mode = 0644,
              const Owner& owner = {});
    void symlink(const std::string& target, const std::string& path, const Owner& owner = {});
    // The archive with its trailer.
    std::vector<std::uint8_t> finish();

private:
    void parents(const std::string& path);
    void entry(const std::string& path, unsigned mode, const Owner& owner, const std::uint8_t* data,
               std::size_t size);
    std::vector<std::uint8_t> out_;
    std::set<std::string> dirs_;
    unsigned next_inode_ = 1;
};

}  // namespace mpboard
