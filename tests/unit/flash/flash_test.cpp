// Block I/O on the emulated MTD partitions of a scratch board in strict NOR mode (a program
// without its erase fails): every case compares the partition's whole backing file, so a write
// that strays outside its range shows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "../platform/sandbox/board_fixture.hpp"
#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"

namespace sandbox_test {
namespace {

constexpr std::uint32_t kSector = 4096;
constexpr std::uint32_t kPartitionSize = 8 * kSector;
// Sector faults on three partitions; the kernel partition has none.
constexpr const char* kFaults =
    "fault.mtd.erase = uboot:2\nfault.mtd.read = devicetree:1\nfault.mtd.write = rfs:1\n";

class FlashTest : public Board {
protected:
    void SetUp() override {
        Board::SetUp();
        std::size_t seed = 0;
        for (const char* part : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
            put(std::string("dev/mtd-") + part, pattern(kPartitionSize, ++seed));
        }
        flash_reset_for_tests();
    }
    void TearDown() override {
        flash_reset_for_tests();
        Board::TearDown();
    }

    // Starts the board and runs api_flash_init; returns what it printed.
    std::string init(const std::string& conf) {
        configure("mtd.erase_size = 4096\nmtd.strict = 1\nclock.scale = 0\n" + conf);
        auto out = capture();
        init_result_ = api_flash_init();
        return out.text();
    }

    int init_result_ = 99;
};

TEST_F(FlashTest, GeometryComesFromTheKernelPartitionAndNamesIt) {
    put("dev/mtd-kernel", pattern(3u << 20, 9));
    fs::remove(dir_ / "dev/mtd-ubootenv");
    EXPECT_STREQ(flash_geometry_name(), "unknown");
    EXPECT_EQ(init("mtd.erase_size = 131072\n"), "");
    EXPECT_EQ(init_result_, 0);
    EXPECT_STREQ(flash_geometry_name(), "3MB w/24-128KB sectors");
    for (int fd : {uboot_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd}) {
        EXPECT_GT(fd, 0);
    }
    EXPECT_EQ(flash_fd, kernel_fd);

    std::uint32_t size = 7;
    EXPECT_EQ(mtd_get_size(rfs_fd, &size), 1);
    EXPECT_EQ(size, kPartitionSize);
    EXPECT_EQ(mtd_get_size(-1, &size), 0);
    EXPECT_EQ(size, kPartitionSize);

    // A partition that would not open holds -1 and fails at the device.
    EXPECT_EQ(uboot_env_fd, -1);
    Bytes buf(16);
    auto out = capture();
    EXPECT_EQ(api_flash_read(buf.data(), uboot_env_fd, 0, 16), -1);
    EXPECT_EQ(api_flash_write(buf.data(), uboot_env_fd, 0, 16, 0), -1);
    EXPECT_EQ(out.text(), "Flash Write mtd read failed.\n\n");
}

// Without usable geometry (before init too) every call fails at once, silently, touching no
// partition.
TEST_F(FlashTest, NoFlashFailsEveryCallUntouched) {
    struct Case {
        const char* conf;  // nullptr: api_flash_init is not called
        const char* message;
        const char* name;
    };
    const Case cases[] = {
        {nullptr, "", "unknown"},
        {"fault.mtd.meminfo = 1\n", "Could not get MTD device info \n", "unknown"},
        {"fault.mtd.absent = 1\n", "Could not get MTD device info \n", "unknown"},
        // Steps up to the name run before the size is looked at.
        {"fault.mtd.size0 = 1\n", "NO FLASH !\n", "0MB w/0-4KB sectors"},
        // Erase blocks the sector arithmetic cannot handle.
        {"mtd.erase_size = 0\n", "Unsupported MTD erase size 0\n", "unknown"},
        {"mtd.erase_size = 3072\n", "Unsupported MTD erase size 3072\n", "unknown"},
        {"mtd.erase_size = 512\n", "Unsupported MTD erase size 512\n", "unknown"},
    };
    const Bytes kernel = get("dev/mtd-kernel");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf != nullptr ? c.conf : "before init");
        flash_reset_for_tests();
        if (c.conf != nullptr) {
            EXPECT_EQ(init(c.conf), c.message);
            EXPECT_EQ(init_result_, -1);
        }
        EXPECT_STREQ(flash_geometry_name(), c.name);
        const auto before = platform::sandbox::stats();
        Bytes buf(64, 0xA5);
        auto out = capture();
        EXPECT_EQ(api_flash_read(buf.data(), kernel_fd, 0, 64), -1);
        EXPECT_EQ(api_flash_write(buf.data(), kernel_fd, 0, 64, 1), -1);
        EXPECT_EQ(api_flash_erase(kernel_fd, 0, 64), -1);
        EXPECT_EQ(out.text(), "");
        const auto& after = platform::sandbox::stats();
        EXPECT_EQ(after.mtd_reads + after.mtd_writes + after.mtd_erases,
                  before.mtd_reads + before.mtd_writes + before.mtd_erases);
        EXPECT_EQ(buf, Bytes(64, 0xA5));
    }
    EXPECT_EQ(get("dev/mtd-kernel"), kernel);
}

// Every sector a write touches is read, erased and written back in 1 KiB pieces. A failure
// stops the write after the sectors before it, with its line and an empty line.
TEST_F(FlashTest, WriteChangesExactlyItsRange) {
    struct Case {
        const char* what;
        const char* part;
        const int* fd;
        std::uint32_t offset;
        std::uint32_t length;
        bool progress;
        int result;
        std::string text;
        std::uint32_t landed;  // bytes of the data on the chip afterwards
        int blank_sector;      // erased by the failing step, or -1
        unsigned sectors;      // erased and rewritten, for a write that succeeds
    };
    const std::string failed = "Flash Write mtd erase failed.\n\n";
    const Case cases[] = {
        {"inside one sector", "kernel", &kernel_fd, kSector + 100, 50, false, 0, "", 50, -1, 1},
        {"512 across a boundary", "kernel", &kernel_fd, 3 * kSector - 256, 512, false, 0, "", 512,
         -1, 2},
        {"0 at a sector start", "kernel", &kernel_fd, 2 * kSector, 0, false, 0, "", 0, -1, 0},
        {"0 inside a sector", "kernel", &kernel_fd, 2 * kSector + 9, 0, false, 0, "", 0, -1, 1},
        {"whole sectors", "kernel", &kernel_fd, kSector, 2 * kSector, false, 0, "", 2 * kSector, -1,
         2},
        {"three sectors", "kernel", &kernel_fd, 1000, 2 * kSector + 100, true, 0,
         "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n", 2 * kSector + 100, -1, 3},
        {"whole partition", "kernel", &kernel_fd, 0, kPartitionSize, false, 0, "", kPartitionSize,
         -1, 8},
        {"erase fails", "uboot", &uboot_fd, 0, 4 * kSector, true, -1,
         "     \b\b\b\b000%\b\b\b\b025%" + failed, 2 * kSector, -1, 0},
        {"read fails", "devicetree", &device_tree_fd, 0, 2 * kSector, false, -1,
         "Flash Write mtd read failed.\n\n", kSector, -1, 0},
        {"write fails", "rfs", &rfs_fd, 0, 2 * kSector, false, -1,
         "Flash Write mtd write failed.\n\n", kSector, 1, 0},
    };
    ASSERT_EQ(init(kFaults), "");
    std::size_t seed = 70;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file = std::string("dev/mtd-") + c.part;
        Bytes expected = get(file);
        const Bytes data = pattern(c.length, ++seed);
        std::copy_n(data.begin(), c.landed, expected.begin() + c.offset);
        if (c.blank_sector >= 0) {
            std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(c.blank_sector) * kSector,
                        kSector, 0xFF);
        }
        const auto before = platform::sandbox::stats();

        auto out = capture();
        EXPECT_EQ(api_flash_write(data.data(), *c.fd, c.offset, c.length, c.progress), c.result);
        EXPECT_EQ(out.text(), c.text);
        EXPECT_EQ(get(file), expected);
        if (c.result == 0) {
            const auto& after = platform::sandbox::stats();
            EXPECT_EQ(after.mtd_erases - before.mtd_erases, c.sectors);
            EXPECT_EQ(after.mtd_writes - before.mtd_writes, c.sectors * (kSector / 1024));
        }
    }
}

TEST_F(FlashTest, EraseTakesWholeSectorsAndStopsAtAFailure) {
    ASSERT_EQ(init(kFaults), "");
    Bytes expected = get("dev/mtd-devicetree");
    std::fill_n(expected.begin() + 5 * static_cast<std::ptrdiff_t>(kSector), kSector, 0xFF);
    EXPECT_EQ(api_flash_erase(device_tree_fd, 5 * kSector + 77, 1), 0);
    EXPECT_EQ(get("dev/mtd-devicetree"), expected);
    EXPECT_EQ(platform::sandbox::stats().mtd_erases, 1u);

    expected = get("dev/mtd-uboot");
    std::fill_n(expected.begin(), 2 * kSector, 0xFF);
    auto out = capture();
    EXPECT_EQ(api_flash_erase(uboot_fd, 0, 4 * kSector), -1);
    EXPECT_EQ(out.text(), "Flash Erase mtd erase failed.\n");
    EXPECT_EQ(get("dev/mtd-uboot"), expected);
}

}  // namespace
}  // namespace sandbox_test
