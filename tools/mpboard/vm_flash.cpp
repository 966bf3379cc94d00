#include "vm_flash.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "files.hpp"
#include "platform/sandbox/board_description.hpp"

namespace mpboard {

namespace {

void write_at(int fd, const std::uint8_t* data, std::uint64_t size, std::uint64_t offset,
              const std::string& shown) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        if (n <= 0) {
            fail_errno(shown, "writing");
        }
        data += n;
        size -= static_cast<std::uint64_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

std::vector<std::uint8_t> read_at(int fd, std::uint64_t size, std::uint64_t offset,
                                  const std::string& shown) {
    std::vector<std::uint8_t> bytes(size);
    std::uint64_t done = 0;
    while (done < size) {
        const ssize_t n =
            ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n <= 0) {
            fail_errno(shown, "reading");
        }
        done += static_cast<std::uint64_t>(n);
    }
    return bytes;
}

}  // namespace

VmFlash::VmFlash(const Board& board, std::uint32_t erase, std::uint64_t user_size) : board_(board) {
    std::uint64_t offset = 0;
    for (const base::Partition& p : base::kPartitions) {
        const std::string file(platform::sandbox::board_file(p));
        const base::UniqueFd fd = board.open_in(file, O_RDONLY | O_NOFOLLOW);
        struct stat st {};
        if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0 ||
            st.st_size % erase != 0) {
            fail(board.path(file) + ": not a whole number of " + std::to_string(erase) +
                 "-byte erase blocks");
        }
        pieces_.push_back({p.name, file, offset, static_cast<std::uint64_t>(st.st_size)});
        offset += static_cast<std::uint64_t>(st.st_size);
    }
    pieces_.push_back({"user", "", offset, user_size});
    // A PCI memory region's size is a power of two.
    total_ = 1;
    while (total_ < offset + user_size) {
        total_ *= 2;
    }

    fd_ = board.open_in(VM_FLASH, O_RDWR | O_NOFOLLOW);
    if (fd_) {
        struct stat st {};
        if (::fstat(fd_.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            static_cast<std::uint64_t>(st.st_size) != total_) {
            fail(board.path(VM_FLASH) + ": not the flash of this board's partitions (" +
                 std::to_string(total_) + " bytes); remove it to start from the partition files");
        }
        return;
    }
    // Built under another name: the machine's init renames it once it has copied user/ onto
    // its /user flash, and only then is the file what the board holds.
    fresh_ = true;
    board.make_dirs("run");
    const std::string building = std::string(VM_FLASH) + ".new";
    board.remove(building);
    fd_ = board.open_in(building, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (!fd_ || ::ftruncate(fd_.get(), static_cast<off_t>(total_)) != 0) {
        fail_errno(board.path(building));
    }
    for (const Piece& piece : pieces_) {
        const std::vector<std::uint8_t> bytes = piece.file.empty()
                                                    ? std::vector<std::uint8_t>(piece.size, 0xFF)
                                                    : board.read(piece.file);
        write_at(fd_.get(), bytes.data(), bytes.size(), piece.offset, board.path(building));
    }
}

std::vector<std::string> VmFlash::qemu_args() const {
    return {"-object",
            "memory-backend-file,id=flash,share=on,mem-path=/proc/self/fd/" +
                std::to_string(fd_.get()) + ",size=" + std::to_string(total_),
            "-device", "ivshmem-plain,memdev=flash"};
}

std::string VmFlash::pieces() const {
    std::string text;
    for (const Piece& piece : pieces_) {
        text += (text.empty() ? "" : ",") + piece.name + ":" + std::to_string(piece.offset) + ":" +
                std::to_string(piece.size);
    }
    return text;
}

void VmFlash::take_apart() const {
    const std::string shown = board_.path(VM_FLASH);
    for (const Piece& piece : pieces_) {
        if (piece.file.empty()) {
            continue;
        }
        const auto bytes = read_at(fd_.get(), piece.size, piece.offset, shown);
        if (bytes != board_.read(piece.file)) {
            board_.write(piece.file, bytes);
        }
    }
    board_.remove(VM_FLASH);
    board_.remove(std::string(VM_FLASH) + ".new");
}

void check_flash_driver(const std::string& modules) {
    const std::string dep = modules + "/modules.dep";
    const auto text = exists(dep) ? read_file(dep) : std::vector<std::uint8_t>();
    if (std::string(text.begin(), text.end()).find("/phram.ko:") == std::string::npos) {
        fail(modules +
             ": no phram module, which serves the machine's flash (bash scripts/lib/vm.sh "
             "fetches the kernel again)");
    }
}

bool vm_flash_left(const Board& board) {
    return board.exists(VM_FLASH);
}

}  // namespace mpboard
