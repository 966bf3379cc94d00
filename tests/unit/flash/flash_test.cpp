// Block I/O on the emulated MTD partitions of a scratch board in strict NOR mode (a program
// without its erase fails); every case compares the partition's whole backing file.
#include <string>

#include "../platform/sandbox/board_fixture.hpp"
#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"

namespace sandbox_test {
namespace {

constexpr std::uint32_t kSector = 4096;
constexpr std::uint32_t kSize = 8 * kSector;

class FlashTest : public Board {
protected:
    void SetUp() override {
        Board::SetUp();
        std::size_t seed = 0;
        for (const char* part : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
            put(std::string("dev/mtd-") + part, pattern(kSize, ++seed));
        }
        flash_reset_for_tests();
    }
    void TearDown() override {
        flash_reset_for_tests();
        Board::TearDown();
    }
    std::string init(const std::string& conf, int want = 0) {
        configure("mtd.erase_size = 4096\nmtd.strict = 1\nclock.scale = 0\n" + conf);
        auto out = capture();
        EXPECT_EQ(api_flash_init(), want);
        return out.text();
    }
};

// Without usable geometry every call fails at once, silently, touching no partition.
TEST_F(FlashTest, Geometry) {
    const struct {
        const char *conf, *message, *name;
    } cases[] = {
        {"fault.mtd.meminfo = 1\n", "Could not get MTD device info \n", "unknown"},
        {"fault.mtd.size0 = 1\n", "NO FLASH !\n", "0MB w/0-4KB sectors"},
        {"mtd.erase_size = 3072\n", "Unsupported MTD erase size 3072\n", "unknown"},
        {"mtd.erase_size = 512\n", "Unsupported MTD erase size 512\n", "unknown"},
    };
    const Bytes kernel = get("dev/mtd-kernel");
    for (const auto& c : cases) {
        flash_reset_for_tests();
        EXPECT_EQ(init(c.conf, -1), c.message);
        EXPECT_STREQ(flash_geometry_name(), c.name);
        Bytes buf(64, 0xA5);
        auto out = capture();
        EXPECT_EQ(api_flash_read(buf.data(), kernel_fd, 0, 64), -1);
        EXPECT_EQ(api_flash_write(buf.data(), kernel_fd, 0, 64, 1), -1);
        EXPECT_EQ(api_flash_erase(kernel_fd, 0, 64), -1);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(buf, Bytes(64, 0xA5));
    }
    EXPECT_EQ(get("dev/mtd-kernel"), kernel);
    put("dev/mtd-kernel", pattern(3u << 20, 9));
    EXPECT_EQ(init("mtd.erase_size = 131072\n"), "");
    EXPECT_STREQ(flash_geometry_name(), "3MB w/24-128KB sectors");
    EXPECT_EQ(flash_fd, kernel_fd);
}

// Every sector a write touches is read, erased and written back; a failure stops the write
// after the sectors before it, with its line and an empty line.
TEST_F(FlashTest, WriteChangesExactlyItsRange) {
    const struct {
        const char* part;
        const int* fd;
        std::uint32_t offset, length;
        int result;
        std::string text;
        std::uint32_t landed;  // bytes of the data on the chip afterwards
        int blank;             // sector left erased by the failing step, or -1
    } cases[] = {
        {"kernel", &kernel_fd, kSector + 100, 50, 0, "", 50, -1},
        {"kernel", &kernel_fd, 3 * kSector - 256, 512, 0, "", 512, -1},
        {"kernel", &kernel_fd, 2 * kSector + 9, 0, 0, "", 0, -1},
        {"kernel", &kernel_fd, 1000, 2 * kSector + 100, 0,
         "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n", 2 * kSector + 100, -1},
        {"kernel", &kernel_fd, 0, kSize, 0, "", kSize, -1},
        {"uboot", &uboot_fd, 0, 4 * kSector, -1,
         "     \b\b\b\b000%\b\b\b\b025%Flash Write mtd erase failed.\n\n", 2 * kSector, -1},
        {"devicetree", &device_tree_fd, 0, 2 * kSector, -1,
         "     \b\b\b\b000%Flash Write mtd read failed.\n\n", kSector, -1},
        {"rfs", &rfs_fd, 0, 2 * kSector, -1, "     \b\b\b\b000%Flash Write mtd write failed.\n\n",
         kSector, 1},
    };
    ASSERT_EQ(init("fault.mtd.erase = uboot:2\nfault.mtd.read = devicetree:1\n"
                   "fault.mtd.write = rfs:1\n"),
              "");
    std::size_t seed = 70;
    for (const auto& c : cases) {
        const std::string file = std::string("dev/mtd-") + c.part;
        Bytes expected = get(file);
        const Bytes data = pattern(c.length, ++seed);
        std::copy_n(data.begin(), c.landed, expected.begin() + c.offset);
        if (c.blank >= 0) {
            std::fill_n(expected.begin() + c.blank * kSector, kSector, 0xFF);
        }
        auto out = capture();
        EXPECT_EQ(api_flash_write(data.data(), *c.fd, c.offset, c.length, !c.text.empty()),
                  c.result);
        EXPECT_EQ(out.text(), c.text);
        EXPECT_EQ(get(file), expected) << c.offset;
    }
    Bytes expected = get("dev/mtd-uboot");
    std::fill_n(expected.begin(), 2 * kSector, 0xFF);
    auto out = capture();
    EXPECT_EQ(api_flash_erase(uboot_fd, 77, 4 * kSector), -1);
    EXPECT_EQ(out.text(), "Flash Erase mtd erase failed.\n");
    EXPECT_EQ(get("dev/mtd-uboot"), expected);
}

}  // namespace
}  // namespace sandbox_test
