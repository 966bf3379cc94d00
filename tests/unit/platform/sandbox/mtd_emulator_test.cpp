#include <fcntl.h>

#include <cerrno>

#include "board_fixture.hpp"

namespace sandbox_test {
namespace {

using platform::dev_open;
using platform::dev_pread;
using platform::dev_pwrite;
using platform::mtd_memerase;

class Mtd : public Board {
protected:
    // Reloads the board with `conf`, fills the kernel partition with a pattern and opens it.
    int open_kernel(const std::string& conf = "mtd.erase_size = 4096\n") {
        configure(conf);
        put("dev/mtd-kernel", before_);
        const int fd = dev_open("/dev/mtd-kernel", O_RDWR | O_SYNC);
        EXPECT_GE(fd, 0) << "errno " << errno;
        return fd;
    }
    const Bytes before_ = pattern(4 * kBlock, 1);
};

TEST_F(Mtd, ProgrammingOnlyClearsBitsAndStrictModeRefusesSettingOne) {
    const int fd = dev_open("/dev/mtd-kernel", O_RDWR);
    const std::uint8_t first[] = {0xF0, 0x3C};
    const std::uint8_t second[] = {0x0F, 0xFF};
    ASSERT_EQ(dev_pwrite(fd, first, 2, 10), 2);
    ASSERT_EQ(dev_pwrite(fd, second, 2, 10), 2);
    std::uint8_t got[2] = {};
    ASSERT_EQ(dev_pread(fd, got, 2, 10), 2);
    EXPECT_EQ(got[0], 0x00);
    EXPECT_EQ(got[1], 0x3C);
    EXPECT_EQ(platform::sandbox::stats().mtd_writes, 2U);
    EXPECT_EQ(platform::sandbox::stats().mtd_reads, 1U);

    configure("mtd.erase_size = 4096\nmtd.strict = 1\n");
    const int strict = dev_open("/dev/mtd-kernel", O_RDWR);
    const std::uint8_t needs_set[] = {0x01, 0x0C};  // 0x01 needs a bit back at 1
    errno = 0;
    EXPECT_EQ(dev_pwrite(strict, needs_set, 2, 10), -1);
    EXPECT_EQ(errno, EIO);
    const Bytes image = get("dev/mtd-kernel");
    EXPECT_EQ(image[10], 0x00) << "a refused write must write nothing";
    EXPECT_EQ(image[11], 0x3C);
}

TEST_F(Mtd, ReadsStopAtTheEndAndWritesPastItFailWhole) {
    const int fd = open_kernel();
    Bytes buf(64, 0);
    EXPECT_EQ(dev_pread(fd, buf.data(), 64, 4 * kBlock - 16), 16);
    EXPECT_EQ(buf[15], before_[4 * kBlock - 1]);
    EXPECT_EQ(dev_pread(fd, buf.data(), 64, 4 * kBlock), 0);
    EXPECT_EQ(dev_pread(fd, buf.data(), 64, 5 * kBlock), 0);

    errno = 0;
    EXPECT_EQ(dev_pwrite(fd, buf.data(), 64, 4 * kBlock - 16), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(dev_pwrite(fd, buf.data(), 1, 4 * kBlock), -1);
    EXPECT_EQ(get("dev/mtd-kernel"), before_) << "the partition changed or grew";
}

TEST_F(Mtd, EraseSetsWholeBlocksInsideThePartitionOnly) {
    const int fd = open_kernel();
    for (const auto& [start, length] : {std::pair<std::uint32_t, std::uint32_t>{1, kBlock},
                                        {0, kBlock + 1},
                                        {kBlock, 4 * kBlock},
                                        {4 * kBlock, kBlock}}) {
        errno = 0;
        EXPECT_EQ(mtd_memerase(fd, start, length), -1) << start << "+" << length;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(get("dev/mtd-kernel"), before_);

    ASSERT_EQ(mtd_memerase(fd, kBlock, 2 * kBlock), 0);
    Bytes expected = before_;
    std::fill_n(expected.begin() + kBlock, 2 * kBlock, 0xFF);
    EXPECT_EQ(get("dev/mtd-kernel"), expected);

    const int ro = dev_open("/dev/mtd-rescue", O_RDONLY);
    errno = 0;
    EXPECT_EQ(mtd_memerase(ro, 0, kBlock), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(dev_pwrite(ro, "x", 1, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(Mtd, GeometryComesFromTheConfigurationAndSyncStaysBehind) {
    const int fd = open_kernel("mtd.erase_size = 8192 # two blocks of the files\n");
    platform::MtdInfo info{};
    ASSERT_EQ(platform::mtd_meminfo(fd, &info), 0);
    EXPECT_EQ(info.size, 4 * kBlock);
    EXPECT_EQ(info.erasesize, 8192U);
    // The descriptor is the backing file's own: it must not carry O_SYNC.
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_SYNC, 0);
    EXPECT_EQ(platform::dev_close(fd), 0);
    EXPECT_EQ(platform::dev_close(fd), -1);

    // Sequential calls move the position.
    const int seq = open_kernel();
    std::uint8_t b[4] = {};
    ASSERT_EQ(platform::dev_lseek(seq, 100, SEEK_SET), 100);
    ASSERT_EQ(platform::dev_read(seq, b, 2), 2);
    ASSERT_EQ(platform::dev_read(seq, b + 2, 2), 2);
    EXPECT_EQ(b[3], before_[103]);
    EXPECT_EQ(platform::dev_lseek(seq, -1, SEEK_END), 4 * kBlock - 1);
}

TEST_F(Mtd, GeometryFaults) {
    platform::MtdInfo info{7, 7};
    errno = 0;
    EXPECT_EQ(platform::mtd_meminfo(open_kernel("fault.mtd.meminfo = 1\n"), &info), -1);
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(platform::mtd_meminfo(open_kernel("fault.mtd.size0 = 1\n"), &info), 0);
    EXPECT_EQ(info.size, 0U);
    configure("fault.mtd.absent = 1\n");
    errno = 0;
    EXPECT_EQ(dev_open("/dev/mtd-uboot", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log(),
              "fault: mtd meminfo kernel\nfault: mtd size0 kernel\nfault: mtd absent uboot\n");
}

TEST_F(Mtd, SectorFaultsHitOnlyTheirBlock) {
    const int fd = open_kernel(
        "mtd.erase_size = 4096\nfault.mtd.erase = kernel:2\nfault.mtd.write = kernel:1\n"
        "fault.mtd.read = kernel:3\n");
    errno = 0;
    EXPECT_EQ(mtd_memerase(fd, 0, 4 * kBlock), -1);
    EXPECT_EQ(errno, EIO);
    Bytes expected = before_;
    std::fill_n(expected.begin(), 2 * kBlock, 0xFF);  // the blocks before the failing one
    EXPECT_EQ(get("dev/mtd-kernel"), expected);

    const Bytes zeros(8, 0);
    EXPECT_EQ(dev_pwrite(fd, zeros.data(), 8, kBlock - 4), -1);  // touches block 1
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(get("dev/mtd-kernel"), expected) << "a failed write writes nothing";
    EXPECT_EQ(dev_pwrite(fd, zeros.data(), 8, kBlock - 8), 8);

    Bytes buf(8);
    EXPECT_EQ(dev_pread(fd, buf.data(), 8, 3 * kBlock - 8), 8);
    EXPECT_EQ(dev_pread(fd, buf.data(), 8, 3 * kBlock - 4), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(dev_pread(dev_open("/dev/mtd-rfs", O_RDWR), buf.data(), 8, 3 * kBlock), 8);

    EXPECT_EQ(log(),
              "fault: mtd erase kernel sector 2\nfault: mtd write kernel sector 1\n"
              "fault: mtd read kernel sector 3\n");
}

}  // namespace
}  // namespace sandbox_test
