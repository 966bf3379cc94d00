#include <fcntl.h>

#include <cerrno>

#include "board_fixture.hpp"

namespace sandbox_test {
namespace {

using platform::dev_close;
using platform::dev_open;
using platform::dev_pread;
using platform::dev_pwrite;
using platform::mtd_memerase;

class Mtd : public Board {
protected:
    int open_kernel(int flags = O_RDWR | O_SYNC) {
        const int fd = dev_open("/dev/mtd-kernel", flags);
        EXPECT_GE(fd, 0) << "errno " << errno;
        return fd;
    }
    // Fills dev/mtd-kernel with a pattern that differs in every byte of a block.
    Bytes pattern() {
        Bytes b(4 * kBlock);
        for (std::size_t i = 0; i < b.size(); ++i) {
            b[i] = static_cast<std::uint8_t>(i * 7 + i / kBlock);
        }
        put("dev/mtd-kernel", b);
        return b;
    }
};

TEST_F(Mtd, ProgrammingOnlyClearsBitsAndEraseSetsWholeBlocks) {
    const int fd = open_kernel();
    const std::uint8_t first[] = {0xF0, 0x3C};
    const std::uint8_t second[] = {0x0F, 0xFF};
    ASSERT_EQ(dev_pwrite(fd, first, 2, 10), 2);
    ASSERT_EQ(dev_pwrite(fd, second, 2, 10), 2);
    std::uint8_t got[2] = {};
    ASSERT_EQ(dev_pread(fd, got, 2, 10), 2);
    EXPECT_EQ(got[0], 0x00);
    EXPECT_EQ(got[1], 0x3C);

    ASSERT_EQ(mtd_memerase(fd, 0, kBlock), 0);
    Bytes image = get("dev/mtd-kernel");
    EXPECT_EQ(image[10], 0xFF);
    EXPECT_EQ(image[11], 0xFF);
    EXPECT_EQ(platform::sandbox::stats().mtd_erases, 1U);
    EXPECT_EQ(platform::sandbox::stats().mtd_writes, 2U);
    EXPECT_EQ(platform::sandbox::stats().mtd_reads, 1U);
}

TEST_F(Mtd, StrictModeRefusesAWriteThatNeedsABitSet) {
    configure("mtd.erase_size = 4096\nmtd.strict = 1\n");
    const int fd = open_kernel();
    const std::uint8_t clear[] = {0x0F, 0x00};
    ASSERT_EQ(dev_pwrite(fd, clear, 2, 100), 2);
    const std::uint8_t needs_set[] = {0x00, 0x01};  // the 0x01 needs a bit back at 1
    errno = 0;
    EXPECT_EQ(dev_pwrite(fd, needs_set, 2, 100), -1);
    EXPECT_EQ(errno, EIO);
    const Bytes image = get("dev/mtd-kernel");
    EXPECT_EQ(image[100], 0x0F) << "a refused write must write nothing";
    EXPECT_EQ(image[101], 0x00);
}

TEST_F(Mtd, ReadsStopAtTheEndAndWritesPastItFailWhole) {
    const Bytes before = pattern();
    const int fd = open_kernel();
    Bytes buf(64, 0);
    EXPECT_EQ(dev_pread(fd, buf.data(), 64, 4 * kBlock - 16), 16);
    EXPECT_EQ(buf[15], before[4 * kBlock - 1]);
    EXPECT_EQ(dev_pread(fd, buf.data(), 64, 4 * kBlock), 0);
    EXPECT_EQ(dev_pread(fd, buf.data(), 64, 5 * kBlock), 0);

    const Bytes zeros(64, 0);
    errno = 0;
    EXPECT_EQ(dev_pwrite(fd, zeros.data(), 64, 4 * kBlock - 16), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(dev_pwrite(fd, zeros.data(), 1, 4 * kBlock), -1);
    EXPECT_EQ(get("dev/mtd-kernel"), before);
    EXPECT_EQ(fs::file_size(dir_ / "dev/mtd-kernel"), 4 * kBlock) << "the partition grew";
}

TEST_F(Mtd, EraseNeedsWholeBlocksInsideThePartition) {
    const Bytes before = pattern();
    const int fd = open_kernel();
    for (const auto& [start, length] : {std::pair<std::uint32_t, std::uint32_t>{1, kBlock},
                                        {0, kBlock + 1},
                                        {kBlock, 4 * kBlock},
                                        {4 * kBlock, kBlock}}) {
        errno = 0;
        EXPECT_EQ(mtd_memerase(fd, start, length), -1) << start << "+" << length;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(get("dev/mtd-kernel"), before);

    ASSERT_EQ(mtd_memerase(fd, kBlock, 2 * kBlock), 0);
    const Bytes after = get("dev/mtd-kernel");
    for (std::size_t i = 0; i < after.size(); ++i) {
        const bool erased = i >= kBlock && i < 3 * kBlock;
        ASSERT_EQ(after[i], erased ? 0xFF : before[i]) << "byte " << i;
    }

    const int ro = dev_open("/dev/mtd-rescue", O_RDONLY);
    ASSERT_GE(ro, 0);
    errno = 0;
    EXPECT_EQ(mtd_memerase(ro, 0, kBlock), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(dev_pwrite(ro, "x", 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(Mtd, GeometryComesFromTheConfigurationAndSyncStaysBehind) {
    configure("mtd.erase_size = 8192 # two blocks of the files\n");
    const int fd = open_kernel(O_RDWR | O_SYNC);
    platform::MtdInfo info{};
    ASSERT_EQ(platform::mtd_meminfo(fd, &info), 0);
    EXPECT_EQ(info.size, 4 * kBlock);
    EXPECT_EQ(info.erasesize, 8192U);
    // The descriptor is the backing file's own: it must not carry O_SYNC.
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_SYNC, 0);
    EXPECT_EQ(dev_close(fd), 0);
    EXPECT_EQ(dev_close(fd), -1);
}

TEST_F(Mtd, GeometryFaults) {
    configure("mtd.erase_size = 4096\nfault.mtd.meminfo = 1\n");
    platform::MtdInfo info{7, 7};
    errno = 0;
    EXPECT_EQ(platform::mtd_meminfo(open_kernel(), &info), -1);
    EXPECT_EQ(errno, EIO);

    configure("mtd.erase_size = 4096\nfault.mtd.size0 = 1\n");
    ASSERT_EQ(platform::mtd_meminfo(open_kernel(), &info), 0);
    EXPECT_EQ(info.size, 0U);

    configure("fault.mtd.absent = 1\n");
    errno = 0;
    EXPECT_EQ(dev_open("/dev/mtd-uboot", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log(),
              "fault: mtd meminfo kernel\nfault: mtd size0 kernel\nfault: mtd absent uboot\n");
}

TEST_F(Mtd, SectorFaultsHitOnlyTheirBlock) {
    configure(
        "mtd.erase_size = 4096\nfault.mtd.erase = kernel:2\nfault.mtd.write = kernel:1\n"
        "fault.mtd.read = kernel:3\n");
    const Bytes before = pattern();
    const int fd = open_kernel();

    errno = 0;
    EXPECT_EQ(mtd_memerase(fd, 0, 4 * kBlock), -1);
    EXPECT_EQ(errno, EIO);
    Bytes after = get("dev/mtd-kernel");
    EXPECT_EQ(after[0], 0xFF);
    EXPECT_EQ(after[2 * kBlock - 1], 0xFF) << "blocks before the failing one are erased";
    EXPECT_EQ(after[2 * kBlock], before[2 * kBlock]);
    EXPECT_EQ(after[3 * kBlock], before[3 * kBlock]);

    const Bytes zeros(8, 0);
    EXPECT_EQ(dev_pwrite(fd, zeros.data(), 8, kBlock - 4), -1);  // touches block 1
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(get("dev/mtd-kernel")[kBlock - 4], 0xFF) << "a failed write writes nothing";
    EXPECT_EQ(dev_pwrite(fd, zeros.data(), 8, kBlock - 8), 8);

    Bytes buf(8);
    EXPECT_EQ(dev_pread(fd, buf.data(), 8, 3 * kBlock - 8), 8);
    EXPECT_EQ(dev_pread(fd, buf.data(), 8, 3 * kBlock - 4), -1);
    EXPECT_EQ(errno, EIO);
    // Another partition is not affected.
    const int rfs = dev_open("/dev/mtd-rfs", O_RDWR);
    EXPECT_EQ(dev_pread(rfs, buf.data(), 8, 3 * kBlock), 8);

    EXPECT_EQ(log(),
              "fault: mtd erase kernel sector 2\nfault: mtd write kernel sector 1\n"
              "fault: mtd read kernel sector 3\n");
}

TEST_F(Mtd, SequentialCallsMoveThePosition) {
    const Bytes before = pattern();
    const int fd = open_kernel();
    std::uint8_t b[4] = {};
    ASSERT_EQ(platform::dev_lseek(fd, 100, SEEK_SET), 100);
    ASSERT_EQ(platform::dev_read(fd, b, 2), 2);
    ASSERT_EQ(platform::dev_read(fd, b + 2, 2), 2);
    EXPECT_EQ(b[3], before[103]);
    EXPECT_EQ(platform::dev_lseek(fd, 0, SEEK_CUR), 104);
    EXPECT_EQ(platform::dev_lseek(fd, -1, SEEK_END), 4 * kBlock - 1);
}

}  // namespace
}  // namespace sandbox_test
