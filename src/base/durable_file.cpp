#include "base/durable_file.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "base/untrusted_file.hpp"

namespace base {

DurableFile::DurableFile(int dir, std::string temp, std::string target, Place place) noexcept
    : dir_(dir), temp_(std::move(temp)), target_(std::move(target)), place_(place) {}

DurableFile::DurableFile(int dir, std::string temp, std::string target, mode_t mode, Place place)
    : DurableFile(dir, std::move(temp), std::move(target), place) {
    if (place == Place::untrusted) {
        fd_ = create_fresh(temp_.c_str(), mode, dir);
    } else {
        static_cast<void>(::unlinkat(dir, temp_.c_str(), 0));
        fd_.reset(::openat(dir, temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           mode));
    }
    if (!fd_) {
        failed_ = Step::create;
        if (place == Place::own) {
            temp_.clear();  // what has the name is not ours to remove
        }
    }
}

DurableFile DurableFile::beside(std::string target) {
    std::string temp = target + ".partial-XXXXXX";
    DurableFile file(AT_FDCWD, std::move(temp), std::move(target), Place::own);
    file.fd_.reset(::mkostemp(file.temp_.data(), O_CLOEXEC));
    if (!file.fd_) {
        file.failed_ = Step::create;
        file.temp_.clear();
        return file;
    }
    // mkostemp makes the file private; the finished file gets the mode open would give it.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    static_cast<void>(::fchmod(file.fd_.get(), 0666 & ~mask));
    return file;
}

DurableFile::DurableFile(DurableFile&& other) noexcept
    : dir_(other.dir_),
      temp_(std::exchange(other.temp_, {})),
      target_(std::move(other.target_)),
      place_(other.place_),
      fd_(std::move(other.fd_)),
      replaced_(other.replaced_),
      failed_(other.failed_) {}

DurableFile::~DurableFile() {
    if (!replaced_ && !temp_.empty()) {
        const int err = errno;  // a caller's message may still want it
        fd_.reset();
        static_cast<void>(::unlinkat(dir_, temp_.c_str(), 0));
        errno = err;
    }
}

bool DurableFile::finish() noexcept {
    if (::fsync(fd_.get()) != 0) {
        failed_ = Step::sync;
        return false;
    }
    if (fd_.close() != 0) {
        failed_ = Step::close;
        return false;
    }
    return true;
}

bool DurableFile::replace() noexcept {
    const bool renamed = place_ == Place::untrusted
                             ? rename_over(temp_.c_str(), target_.c_str(), dir_)
                             : ::renameat(dir_, temp_.c_str(), dir_, target_.c_str()) == 0;
    if (!renamed) {
        failed_ = Step::rename;
        return false;  // the destructor removes the temporary file
    }
    replaced_ = true;
    if (place_ == Place::own) {
        sync_parent(target_.c_str(), dir_);
    }
    return true;
}

bool write_durably(const char* path, std::span<const std::uint8_t> bytes) {
    DurableFile file(AT_FDCWD, std::string(path) + ".new", path, 0644,
                     DurableFile::Place::untrusted);
    if (!file) {
        return false;
    }
    const Transfer t = file.write(bytes);
    if (!t) {
        errno = t.error;
        return false;
    }
    return file.commit();
}

}  // namespace base
