#include "vm/initramfs.hpp"

#include <sys/stat.h>

#include <cstdio>

namespace mpboard {

void Initramfs::entry(const std::string& path, unsigned mode, const Owner& owner,
                      const std::uint8_t* data, std::size_t size) {
    char header[111];
    std::snprintf(header, sizeof header,
                  "070701%08X%08X%08X%08X%08X%08X%08zX%08X%08X%08X%08X%08zX%08X", next_inode_++,
                  mode, owner.uid, owner.gid, 1u, owner.mtime, size, 0u, 0u, 0u, 0u,
                  path.size() + 1, 0u);
    out_.insert(out_.end(), header, header + 110);
    out_.insert(out_.end(), path.begin(), path.end());
    out_.push_back(0);
    out_.resize((out_.size() + 3) & ~std::size_t{3}, 0);
    out_.insert(out_.end(), data, data + size);
    out_.resize((out_.size() + 3) & ~std::size_t{3}, 0);
}

void Initramfs::parents(const std::string& path) {
    // The kernel's unpacker makes no directory by itself, and gives one that comes again the
    // later entry's owner and mode.
    for (auto slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        if (!dirs_.contains(path.substr(0, slash))) {
            dir(path.substr(0, slash));
        }
    }
}

void Initramfs::dir(const std::string& path, unsigned mode, const Owner& owner) {
    parents(path);
    dirs_.insert(path);
    entry(path, S_IFDIR | mode, owner, nullptr, 0);
}

void Initramfs::file(const std::string& path, const std::vector<std::uint8_t>& bytes, unsigned mode,
                     const Owner& owner) {
    parents(path);
    entry(path, S_IFREG | mode, owner, bytes.data(), bytes.size());
}

void Initramfs::symlink(const std::string& target, const std::string& path, const Owner& owner) {
    parents(path);
    entry(path, S_IFLNK | 0777, owner, reinterpret_cast<const std::uint8_t*>(target.data()),
          target.size());
}

std::vector<std::uint8_t> Initramfs::finish() {
    entry("TRAILER!!!", 0, {}, nullptr, 0);
    return std::move(out_);
}

}  // namespace mpboard
