// Block I/O on the emulated MTD partitions of a scratch board: every case checks the partition's
// backing file byte by byte, so a write that strays outside its range shows.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kSector = 4096;
constexpr std::size_t kPartitionSectors = 8;
constexpr std::size_t kPartitionSize = kSector * kPartitionSectors;

const char* const kPartitionNames[] = {"uboot",  "ubootenv", "devicetree",
                                       "kernel", "rfs",      "rescue"};

// Distinct per partition and per position, never all 0xFF, so a lost or misplaced byte shows.
Bytes pattern(std::size_t size, std::size_t seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>((i * 131u + seed * 17u + (i >> 8)) & 0x7Fu);
    }
    return b;
}

// Redirects standard output to a file of the test's board directory.
class StdoutCapture {
public:
    explicit StdoutCapture(const fs::path& file) : path_(file) {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
    ~StdoutCapture() { finish(); }
    std::string finish() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    fs::path path_;
    int saved_ = -1;
};

class FlashTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "flash-board-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        board_ = fs::absolute(name);
        fs::create_directories(board_ / "dev");
        fs::create_directories(board_ / "etc");
        for (unsigned i = 0; i < 6; ++i) {
            write_file(device(kPartitionNames[i]), pattern(kPartitionSize, i + 1));
        }
        flash_reset_for_tests();
    }

    void TearDown() override {
        flash_reset_for_tests();
        platform::sandbox::set_root("/");
        fs::remove_all(board_);
    }

    fs::path device(const std::string& part) const { return board_ / "dev" / ("mtd-" + part); }

    static void write_file(const fs::path& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    static Bytes read_file(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Every board here is NOR in strict mode: a program without an erase first fails.
    void start_board(const std::string& extra_conf = "") {
        std::ofstream conf(board_ / "etc" / "board.conf");
        conf << "mtd.erase_size = " << kSector << "\nmtd.strict = 1\nclock.scale = 0\n"
             << extra_conf;
        conf.close();
        platform::sandbox::set_root(board_.string());
        platform::sandbox::reload();
    }

    std::string init_output() {
        StdoutCapture out(board_ / "stdout");
        init_result_ = api_flash_init();
        return out.finish();
    }

    void init_flash(const std::string& extra_conf = "") {
        start_board(extra_conf);
        ASSERT_EQ(init_output(), "");
        ASSERT_EQ(init_result_, 0);
        ASSERT_EQ(flash_sector_size(), kSector);
    }

    StdoutCapture capture() { return StdoutCapture(board_ / "stdout"); }

    fs::path board_;
    int init_result_ = 99;
};

// ---- Start-up and geometry --------------------------------------------------------------------

TEST_F(FlashTest, GeometryComesFromTheKernelPartitionAndNamesIt) {
    write_file(device("kernel"), pattern(3u << 20, 9));
    start_board("mtd.erase_size = 131072\n");
    EXPECT_STREQ(flash_geometry_name(), "unknown");
    EXPECT_EQ(init_output(), "");
    EXPECT_EQ(init_result_, 0);
    EXPECT_STREQ(flash_geometry_name(), "3MB w/24-128KB sectors");

    const int fds[] = {uboot_fd, uboot_env_fd, device_tree_fd, kernel_fd, rfs_fd, rescue_fd};
    for (int fd : fds) {
        EXPECT_GT(fd, 0);
    }
    EXPECT_EQ(flash_fd, kernel_fd);

    std::uint32_t size = 7;
    EXPECT_EQ(mtd_get_size(rfs_fd, &size), 1);
    EXPECT_EQ(size, kPartitionSize);
    size = 7;
    EXPECT_EQ(mtd_get_size(-1, &size), 0);
    EXPECT_EQ(size, 7u);
}

TEST_F(FlashTest, AMissingPartitionHoldsMinusOneAndFailsAtTheDevice) {
    fs::remove(device("ubootenv"));
    start_board();
    EXPECT_EQ(init_output(), "");
    EXPECT_EQ(init_result_, 0);
    EXPECT_EQ(uboot_env_fd, -1);
    EXPECT_GT(device_tree_fd, 0);

    Bytes buf(16);
    auto out = capture();
    EXPECT_EQ(api_flash_read(buf.data(), uboot_env_fd, 0, 16), -1);
    EXPECT_EQ(api_flash_write(buf.data(), uboot_env_fd, 0, 16, 0), -1);
    EXPECT_EQ(out.finish(), "Flash Write mtd read failed.\n\n");
}

// Without usable geometry every call fails at once, silently, and no partition is touched.
void expect_no_flash(const fs::path& board, int fd) {
    const auto before = platform::sandbox::stats();
    Bytes buf(64, 0xA5);
    StdoutCapture out(board / "stdout-noflash");
    EXPECT_EQ(api_flash_read(buf.data(), fd, 0, 64), -1);
    EXPECT_EQ(api_flash_write(buf.data(), fd, 0, 64, 1), -1);
    EXPECT_EQ(api_flash_erase(fd, 0, 64), -1);
    EXPECT_EQ(out.finish(), "");
    const auto& after = platform::sandbox::stats();
    EXPECT_EQ(after.mtd_reads, before.mtd_reads);
    EXPECT_EQ(after.mtd_writes, before.mtd_writes);
    EXPECT_EQ(after.mtd_erases, before.mtd_erases);
    EXPECT_EQ(buf, Bytes(64, 0xA5));
}

TEST_F(FlashTest, BeforeInitEveryCallFailsWithoutTouchingAnything) {
    start_board();
    EXPECT_EQ(kernel_fd, 0);
    expect_no_flash(board_, kernel_fd);
}

TEST_F(FlashTest, FailedGeometryQueryLeavesNoFlash) {
    struct Case {
        const char* conf;
        const char* message;
        const char* name;
    };
    const Case cases[] = {
        {"fault.mtd.meminfo = 1\n", "Could not get MTD device info \n", "unknown"},
        {"fault.mtd.absent = 1\n", "Could not get MTD device info \n", "unknown"},
        // Steps up to the name run before the size is looked at.
        {"fault.mtd.size0 = 1\n", "NO FLASH !\n", "0MB w/0-4KB sectors"},
        // Erase blocks the sector arithmetic cannot handle.
        {"mtd.erase_size = 0\n", "Unsupported MTD erase size 0\n", "unknown"},
        {"mtd.erase_size = 3072\n", "Unsupported MTD erase size 3072\n", "unknown"},
        {"mtd.erase_size = 512\n", "Unsupported MTD erase size 512\n", "unknown"},
    };
    const Bytes kernel_before = read_file(device("kernel"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        flash_reset_for_tests();
        start_board(c.conf);
        EXPECT_EQ(init_output(), c.message);
        EXPECT_EQ(init_result_, -1);
        EXPECT_STREQ(flash_geometry_name(), c.name);
        expect_no_flash(board_, kernel_fd);
    }
    EXPECT_EQ(read_file(device("kernel")), kernel_before);
}

// ---- Reads ------------------------------------------------------------------------------------

TEST_F(FlashTest, ReadIsUnalignedAndAShortReadSucceeds) {
    init_flash();
    const Bytes env = read_file(device("ubootenv"));
    Bytes buf(1280);
    EXPECT_EQ(api_flash_read(buf.data(), uboot_env_fd, 4, 1280), 0);
    EXPECT_EQ(buf, Bytes(env.begin() + 4, env.begin() + 4 + 1280));

    Bytes tail(64, 0);
    EXPECT_EQ(api_flash_read(tail.data(), uboot_env_fd, kPartitionSize - 16, 64), 0);
    EXPECT_EQ(Bytes(tail.begin(), tail.begin() + 16), Bytes(env.end() - 16, env.end()));
}

TEST_F(FlashTest, FailedReadIsSilent) {
    init_flash("fault.mtd.read = rfs:1\n");
    Bytes buf(32);
    auto out = capture();
    EXPECT_EQ(api_flash_read(buf.data(), rfs_fd, kSector + 8, 32), -1);
    EXPECT_EQ(out.finish(), "");
}

// ---- Writes -----------------------------------------------------------------------------------

// Each write changes exactly its range, and every sector it touches is read, erased and written
// back in 1 KiB pieces (strict NOR: a program without its erase would fail).
TEST_F(FlashTest, WriteChangesExactlyItsRange) {
    struct Case {
        const char* what;
        std::uint32_t offset;
        std::uint32_t length;
        unsigned sectors;
    };
    const Case cases[] = {
        {"inside one sector", kSector + 100, 50, 1},
        {"512 bytes across a boundary", 3 * kSector - 256, 512, 2},
        {"length 0 at a sector start", 2 * kSector, 0, 0},
        {"length 0 inside a sector", 2 * kSector + 9, 0, 1},
        {"whole sectors", kSector, 2 * kSector, 2},
        {"the whole partition", 0, kPartitionSize, kPartitionSectors},
    };
    init_flash();
    Bytes expected = read_file(device("rfs"));
    unsigned seed = 70;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes data = pattern(c.length, ++seed);
        std::copy(data.begin(), data.end(), expected.begin() + c.offset);
        const auto before = platform::sandbox::stats();

        auto out = capture();
        EXPECT_EQ(api_flash_write(data.data(), rfs_fd, c.offset, c.length, 0), 0);
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(read_file(device("rfs")), expected);

        const auto& after = platform::sandbox::stats();
        EXPECT_EQ(after.mtd_erases - before.mtd_erases, c.sectors);
        EXPECT_EQ(after.mtd_writes - before.mtd_writes, c.sectors * (kSector / 1024));
    }
}

TEST_F(FlashTest, ThreeSectorWriteShowsItsProgress) {
    init_flash();
    const std::uint32_t offset = 1000;
    const std::uint32_t length = 2 * kSector + 100;  // sectors 0, 1 and 2
    Bytes expected = read_file(device("kernel"));
    const Bytes data = pattern(length, 5);
    std::copy(data.begin(), data.end(), expected.begin() + offset);

    auto out = capture();
    EXPECT_EQ(api_flash_write(data.data(), kernel_fd, offset, length, 1), 0);
    EXPECT_EQ(out.finish(), "     \b\b\b\b000%\b\b\b\b033%\b\b\b\b066%\b\b\b\b100%\n");
    EXPECT_EQ(read_file(device("kernel")), expected);
}

TEST_F(FlashTest, FailingEraseMidWriteStopsAfterTheSectorsBefore) {
    init_flash("fault.mtd.erase = uboot:2\n");
    const Bytes old = read_file(device("uboot"));
    const Bytes data = pattern(4 * kSector, 40);

    auto out = capture();
    EXPECT_EQ(api_flash_write(data.data(), uboot_fd, 0, 4 * kSector, 1), -1);
    EXPECT_EQ(out.finish(), "     \b\b\b\b000%\b\b\b\b025%Flash Write mtd erase failed.\n\n");

    const Bytes now = read_file(device("uboot"));
    ASSERT_EQ(now.size(), old.size());
    // Sectors 0 and 1 hold the new bytes; sector 2 is the failed one; from 3 on nothing moved.
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2 * kSector, now.begin()));
    EXPECT_TRUE(std::equal(old.begin() + 3 * kSector, old.end(), now.begin() + 3 * kSector));
}

TEST_F(FlashTest, FailingSectorReadOrWriteInAWriteIsReported) {
    const Bytes data = pattern(2 * kSector, 41);
    init_flash("fault.mtd.read = devicetree:1\nfault.mtd.write = rfs:1\n");
    {
        auto out = capture();
        EXPECT_EQ(api_flash_write(data.data(), device_tree_fd, 0, 2 * kSector, 0), -1);
        EXPECT_EQ(out.finish(), "Flash Write mtd read failed.\n\n");
    }
    {
        auto out = capture();
        EXPECT_EQ(api_flash_write(data.data(), rfs_fd, 0, 2 * kSector, 0), -1);
        EXPECT_EQ(out.finish(), "Flash Write mtd write failed.\n\n");
    }
}

// ---- Erases -----------------------------------------------------------------------------------

TEST_F(FlashTest, EraseOfOneByteErasesItsWholeSector) {
    init_flash();
    Bytes expected = read_file(device("devicetree"));
    std::fill(expected.begin() + 5 * kSector, expected.begin() + 6 * kSector, 0xFF);
    EXPECT_EQ(api_flash_erase(device_tree_fd, 5 * kSector + 77, 1), 0);
    EXPECT_EQ(read_file(device("devicetree")), expected);
    EXPECT_EQ(platform::sandbox::stats().mtd_erases, 1u);
}

TEST_F(FlashTest, FailingEraseKeepsEarlierSectorsErased) {
    init_flash("fault.mtd.erase = kernel:3\n");
    const Bytes old = read_file(device("kernel"));
    auto out = capture();
    EXPECT_EQ(api_flash_erase(kernel_fd, kSector, 4 * kSector), -1);
    EXPECT_EQ(out.finish(), "Flash Erase mtd erase failed.\n");
    const Bytes now = read_file(device("kernel"));
    EXPECT_EQ(Bytes(now.begin() + kSector, now.begin() + 3 * kSector), Bytes(2 * kSector, 0xFF));
    EXPECT_TRUE(std::equal(old.begin() + 4 * kSector, old.end(), now.begin() + 4 * kSector));
}

// ---- Trace switches ---------------------------------------------------------------------------

TEST_F(FlashTest, TraceSwitchesPrintTheirLines) {
    init_flash();
    debug_read = debug_write = debug_erase = 1;
    Bytes buf(16);
    char line[128];

    auto out = capture();
    EXPECT_EQ(api_flash_read(buf.data(), kernel_fd, 0x10, 0x10), 0);
    std::string text = out.finish();
    std::snprintf(line, sizeof line, "mtd read  0x00000010 to 0x0000001f 0x%08lx\n",
                  reinterpret_cast<unsigned long>(buf.data()));
    EXPECT_EQ(text, std::string("Flash Read 0x00000010 to 0x0000001f\n") + line);

    auto out2 = capture();
    EXPECT_EQ(api_flash_erase(kernel_fd, 0x1010, 0x2000), 0);
    EXPECT_EQ(out2.finish(),
              "Flash Erase 0x00001010 to 0x0000300f (0x00001000 to 0x00003fff) 3\n"
              "mtd erase 0x00001000 to 0x00001fff\n"
              "mtd erase 0x00002000 to 0x00002fff\n"
              "mtd erase 0x00003000 to 0x00003fff\n");

    debug_read = 0;
    auto out3 = capture();
    EXPECT_EQ(api_flash_write(buf.data(), kernel_fd, 0x2ff8, 0x10, 0), 0);
    EXPECT_EQ(out3.finish(),
              "Flash Write 0x00002ff8 to 0x00003007 (0x00002000 to 0x00003fff) 2\n"
              "mtd erase 0x00002000 to 0x00002fff\n"
              "mtd erase 0x00003000 to 0x00003fff\n");
}

}  // namespace
