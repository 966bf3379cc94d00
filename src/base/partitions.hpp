// The board's six raw flash partitions: the one table of their names, device paths and the
// installer's size limits. The flash layer opens them in this order; the installer, the sandbox
// board and the host tools look them up here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace base {

enum class PartitionId : std::uint8_t { uboot, ubootenv, devicetree, kernel, rfs, rescue };

struct Partition {
    PartitionId id;
    const char* name;    // "kernel": board.conf faults, mpboard commands, the board log
    const char* device;  // "/dev/mtd-kernel"
    // The most a record may put there: for the boot loader its payload, for the others the whole
    // record. 0 for the environment partition, which no record type installs.
    std::uint32_t install_limit;
};

inline constexpr std::array<Partition, 6> kPartitions{{
    {PartitionId::uboot, "uboot", "/dev/mtd-uboot", 0x80000},
    {PartitionId::ubootenv, "ubootenv", "/dev/mtd-ubootenv", 0},
    {PartitionId::devicetree, "devicetree", "/dev/mtd-devicetree", 0x40000},
    {PartitionId::kernel, "kernel", "/dev/mtd-kernel", 0x300000},
    {PartitionId::rfs, "rfs", "/dev/mtd-rfs", 0xF00000},
    {PartitionId::rescue, "rescue", "/dev/mtd-rescue", 0xA00000},
}};

constexpr const Partition& partition(PartitionId id) noexcept {
    return kPartitions[static_cast<std::size_t>(id)];
}

constexpr std::optional<PartitionId> partition_by_name(std::string_view name) noexcept {
    for (const Partition& p : kPartitions) {
        if (name == p.name) {
            return p.id;
        }
    }
    return std::nullopt;
}

static_assert([] {
    for (std::size_t i = 0; i < kPartitions.size(); ++i) {
        if (static_cast<std::size_t>(kPartitions[i].id) != i) {
            return false;
        }
    }
    return true;
}());

}  // namespace base
