// What is installed: the stored header of each image, for the version check and the version
// display.
#include <cstdio>
#include <cstring>
#include <span>

#include "base/byte_order.hpp"
#include "base/io.hpp"
#include "base/untrusted_file.hpp"
#include "flash/flash.hpp"
#include "image/record.hpp"
#include "installer/installer.hpp"
#include "installer/slot_files.hpp"

int read_flash_image_header(std::uint32_t type, std::uint8_t* header, std::int32_t slot) {
    if (header == nullptr) {
        return 0;
    }
    std::memset(header, 0, RECORD_HEADER_SIZE);
    int fd = -1;
    std::uint32_t offset = 0;
    switch (type) {
        case IMAGE_APPLICATION: {
            // Not followed, not waited on: a link or FIFO at the slot's name is no slot file.
            base::Found found = base::Found::failed;
            const base::UniqueFd slot_file =
                base::open_regular(installer::slot_path(slot).c_str(), found);
            if (!slot_file) {
                return 0;
            }
            static_cast<void>(base::read_full(slot_file.get(),
                                              std::span<std::uint8_t>(header, RECORD_HEADER_SIZE)));
            return 1;
        }
        case IMAGE_BOOT:
            fd = uboot_fd;
            offset = BOOT_HEADER_COPY_OFFSET;
            break;
        case IMAGE_KERNEL:
            fd = kernel_fd;
            break;
        case IMAGE_RFS:
            fd = rfs_fd;
            break;
        case IMAGE_DFT:
            fd = device_tree_fd;
            break;
        case IMAGE_DIAGS:
            fd = rescue_fd;
            break;
        default:
            std::printf("Unknown image type 0x%x \n", static_cast<unsigned>(type));
            return 0;
    }
    // A failed or short read leaves zeros, which no installed header matches.
    static_cast<void>(api_flash_read(header, fd, offset, RECORD_HEADER_SIZE));
    return 1;
}

int verifyMatchingHeaders(const std::uint8_t* header, std::int32_t slot) {
    if (header == nullptr) {
        return 0;
    }
    const std::uint32_t type = be32_at(header, 8) & ~RECORD_EXTENDED;
    std::uint8_t stored[RECORD_HEADER_SIZE] = {};
    if (read_flash_image_header(type, stored, slot) == 0) {
        return 0;
    }
    // The boot loader's copy of its header is part of its own payload, which cannot hold its
    // own crc: only len, magic and id are compared.
    const std::size_t from = type == IMAGE_BOOT ? 4 : 0;
    return std::memcmp(header + from, stored + from, RECORD_HEADER_SIZE - from) == 0 ? 1 : 0;
}
