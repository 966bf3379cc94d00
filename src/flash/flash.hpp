// The raw MTD partitions of the board and block I/O on them.
//
// api_flash_init opens the six partition devices once per process and learns the erase geometry
// from the kernel partition; that geometry is applied to every partition. After that, callers
// read, erase and rewrite byte ranges of a partition by passing one of the descriptors below.
// A write is a read-modify-write of every erase block it touches, so the bytes of those blocks
// outside the range keep their contents.
//
// The api_ calls return 0 on success and -1 on failure. Without flash (no geometry, or a
// partition of size 0) they return -1 at once, print nothing and touch no device.
#pragma once

#include <cstdint>

// Partition descriptors, opened in this order by api_flash_init; -1 when the open failed,
// 0 before api_flash_init.
extern int uboot_fd;        // "/dev/mtd-uboot"       boot loader
extern int uboot_env_fd;    // "/dev/mtd-ubootenv"    U-Boot environment
extern int device_tree_fd;  // "/dev/mtd-devicetree"  device tree
extern int kernel_fd;       // "/dev/mtd-kernel"      kernel
extern int rfs_fd;          // "/dev/mtd-rfs"         root filesystem
extern int rescue_fd;       // "/dev/mtd-rescue"      rescue or diagnostics image (no O_SYNC)
extern int flash_fd;        // a copy of kernel_fd: the partition the geometry comes from

// Trace switches, 0 by default. Non-zero prints a trace line for each read, write or erase.
extern int debug_read;
extern int debug_write;
extern int debug_erase;

// Opens the partitions and queries the geometry: 0 when flash with a non-zero size was found,
// -1 otherwise.
int api_flash_init();
// The same with every partition opened read-only, for a reader that must never write (writes
// then fail at the device).
int api_flash_init_read_only();

// Reads `length` bytes at byte `offset` of partition `fd` into `buffer`. A short read counts
// as success.
int api_flash_read(void* buffer, int fd, std::uint32_t offset, std::uint32_t length);

// Replaces bytes offset .. offset + length - 1 of partition `fd` with `buffer`'s bytes. A
// non-zero `show_progress` prints a percentage on standard output as the blocks go by.
int api_flash_write(const void* buffer, int fd, std::uint32_t offset, std::uint32_t length,
                    std::uint8_t show_progress);

// Erases every erase block that the range touches.
int api_flash_erase(int fd, std::uint32_t offset, std::uint32_t length);

// MEMGETINFO on `fd`: 1 and the partition's total size in *size, or 0 with *size untouched.
int mtd_get_size(int fd, std::uint32_t* size);
