// Block I/O on the emulated partitions of a scratch board; every case compares the whole file.
#include <algorithm>
#include <cstdio>
#include <string>

#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

constexpr std::uint32_t kSize = 8 * kSector;

using FlashTest = BoardTest;

// A failure stops the write after the sectors before it (strict NOR: no program without its
// erase). The last row erases.
TEST_F(FlashTest, WriteChangesExactlyItsRange) {
    const struct {
        const char* part;
        const int* fd;
        std::uint32_t offset, length;
        int result;
        std::string text;
        std::uint32_t landed;             // bytes of the data on the chip afterwards
        std::uint32_t blank = 0, to = 0;  // sectors left erased by the failing step
    } cases[] = {
        {"kernel", &kernel_fd, kSector + 100, 50, 0, "", 50},
        {"kernel", &kernel_fd, 3 * kSector - 256, 512, 0, "", 512},
        {"kernel", &kernel_fd, 2 * kSector + 9, 0, 0, "", 0},
        {"kernel", &kernel_fd, 1000, 2 * kSector + 100, 0,
         "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n", 2 * kSector + 100},
        {"uboot", &uboot_fd, 0, 4 * kSector, -1,
         "     \b\b\b\b000%\b\b\b\b025%Flash Write mtd erase failed.\n\n", 2 * kSector},
        {"devicetree", &device_tree_fd, 0, 2 * kSector, -1,
         "     \b\b\b\b000%Flash Write mtd read failed.\n\n", kSector},
        {"rfs", &rfs_fd, 0, 2 * kSector, -1, "     \b\b\b\b000%Flash Write mtd write failed.\n\n",
         kSector, 1, 2},
        {"uboot", &uboot_fd, 77, 4 * kSector, -1, "Flash Erase mtd erase failed.\n", 0, 0, 2},
    };
    unsigned seed = 0;
    for (const char* p : {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue"}) {
        write_file(part_path(p), pattern(kSize, ++seed));
    }
    board_conf(
        "mtd.strict = 1\nfault.mtd.erase = uboot:2\nfault.mtd.read = devicetree:1\n"
        "fault.mtd.write = rfs:1\n");
    for (const auto& c : cases) {
        Bytes expected = part(c.part);
        const Bytes data = pattern(c.length, ++seed);
        std::copy_n(data.begin(), c.landed, expected.begin() + c.offset);
        std::fill(expected.begin() + c.blank * kSector, expected.begin() + c.to * kSector, 0xFF);
        const Outcome o = run([&] {
            api_flash_init();
            return c.text.starts_with("Flash Erase")
                       ? api_flash_erase(*c.fd, c.offset, c.length)
                       : api_flash_write(data.data(), *c.fd, c.offset, c.length, !c.text.empty());
        });
        EXPECT_EQ(o.returned, c.result);
        EXPECT_EQ(o.out, c.text);
        EXPECT_EQ(part(c.part), expected) << c.offset;
    }
}

// The trace switches, which only a developer sets.
TEST_F(FlashTest, TraceSwitchesPrintTheirLines) {
    const Outcome o = run([] {
        api_flash_init();
        debug_read = debug_write = debug_erase = 1;
        api_flash_read(nullptr, kernel_fd, 0x10, 0x10);
        api_flash_erase(kernel_fd, 0x1010, 0x2000);
        debug_read = 0;
        const Bytes data(16);
        return api_flash_write(data.data(), kernel_fd, 0x2ff8, 0x10, 0);
    });
    EXPECT_EQ(o.out,
              "Flash Read 0x00000010 to 0x0000001f\nmtd read  0x00000010 to 0x0000001f 0x00000000\n"
              "Flash Erase 0x00001010 to 0x0000300f (0x00001000 to 0x00003fff) 3\n"
              "mtd erase 0x00001000 to 0x00001fff\nmtd erase 0x00002000 to 0x00002fff\n"
              "mtd erase 0x00003000 to 0x00003fff\n"
              "Flash Write 0x00002ff8 to 0x00003007 (0x00002000 to 0x00003fff) 2\n"
              "mtd erase 0x00002000 to 0x00002fff\nmtd erase 0x00003000 to 0x00003fff\n");
    EXPECT_EQ(o.returned, 0);
}

}  // namespace
}  // namespace mp_test
