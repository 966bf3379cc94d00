// The package installer on a scratch board: partition bytes, slot files, the VPD slot byte and
// the console texts.
#include <sys/resource.h>

#include <gmock/gmock.h>

#include <csignal>
#include <cstdio>
#include <filesystem>

#include "crc/crc.hpp"
#include "image/byte_order.hpp"
#include "image/installer.hpp"
#include "image/record.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

constexpr const char* kPackage = "/tmp/image";
const std::string kExtracting = "\nExtracting images ... Do *NOT* power cycle the switch.\n";
const std::string kQuestion = "Install image as image 1 or 2 (hit return to just boot image): ";
// One sector's worth of flash progress, as the flash layer prints it.
const std::string kOneSector = "     \b\b\b\b000%\b\b\b\b100%\n";

Bytes record(std::uint32_t magic, const Bytes& payload, std::uint32_t id = kId,
             std::uint16_t hdrlen = 0) {
    return make_record({.magic = magic, .payload = payload, .hdrlen = hdrlen, .id = id});
}

// A boot loader with the copy of its header (crc word 0) at payload byte 240.
Bytes boot_record(std::size_t payload_size, unsigned seed, std::uint32_t id = kId) {
    Bytes r = record(IMAGE_BOOT, pattern(payload_size, seed), id);
    std::fill_n(r.begin() + 16 + 240, 4, 0);
    std::copy_n(r.begin() + 4, 12, r.begin() + 16 + 244);
    seal(r);
    return r;
}

std::string bad_crc(const char* name, const Bytes& bytes) {
    char line[96];
    std::snprintf(
        line, sizeof line, "Bad crc for %s: 0x%08x, voiding download\n", name,
        gen_crc(bytes.data() + 4, static_cast<std::uint32_t>(bytes.size() - 4), CRC_START));
    return line;
}

Bytes padded(Bytes bytes, std::size_t size = kPartitionSize) {
    bytes.resize(size, 0xFF);
    return bytes;
}

class InstallerTest : public BoardTest {
protected:
    // The package in /tmp/image, installed with the flash and buses open as at start-up.
    Outcome install(const Bytes& package, std::uint8_t check_versions, std::int32_t slot,
                    std::string_view input = "", const std::function<void()>& before = {}) {
        write_file(kPackage, package);
        return run_with_devices(
            [&] {
                if (before) {
                    before();
                }
                return processLamelImage(kPackage, check_versions, slot);
            },
            input);
    }
};

TEST_F(InstallerTest, FlashRecordsGoToOffsetZeroOfTheirPartitions) {
    const Bytes boot = boot_record(600, 1);
    const Bytes kernel = record(IMAGE_KERNEL, pattern(5000, 2));
    const Bytes diags = record(IMAGE_DIAGS, pattern(100, 3), kId, 28);
    const Outcome o = install(concat({boot, kernel, diags}), 0, 0);
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(o.out, kExtracting + "Installing Boot Loader: " + kOneSector +
                         "Installing Kernel:      \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n" +
                         "Installing Diagnostics: " + kOneSector + "done\nFile processed\n");
    // The boot loader without its record header; the others whole, header included.
    EXPECT_EQ(part("uboot"), padded(Bytes(boot.begin() + 16, boot.end()), kBootLoaderSize));
    EXPECT_EQ(part("kernel"), padded(kernel));
    EXPECT_EQ(part("rescue"), padded(diags));
    EXPECT_EQ(vpd(1), 0xFF);
}

TEST_F(InstallerTest, SizeLimitsAreInclusiveAndTheDeviceTreeLimitCoversTheHeader) {
    const Bytes at_limit = boot_record(kBootLoaderSize, 4);
    EXPECT_EQ(install(at_limit, 0, 0).returned, 1);
    EXPECT_EQ(part("uboot"), Bytes(at_limit.begin() + 16, at_limit.end()));

    Outcome o =
        install(concat({record(IMAGE_KERNEL, pattern(10, 5)), boot_record(0x80001, 6)}), 0, 0);
    EXPECT_EQ(o.returned, 0);
    EXPECT_THAT(o.out, HasSubstr("Installing Boot Loader: UBOOT image is too big for flash "
                                 "(524289 > 524288)\n"));
    EXPECT_EQ(part("uboot"), Bytes(at_limit.begin() + 16, at_limit.end()));

    o = install(record(IMAGE_DFT, Bytes(0x40000, 0)), 0, 0);
    EXPECT_EQ(o.out, kExtracting +
                         "Installing Device Tree: DFT image is too big for flash "
                         "(262160 > 262144)\n");
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(part("devicetree"), erased(kPartitionSize));
}

TEST_F(InstallerTest, DamagedRecordEndsTheRunAndKeepsWhatCameBefore) {
    const Bytes kernel = record(IMAGE_KERNEL, pattern(100, 7));
    const Bytes rfs = record(IMAGE_RFS, pattern(100, 8));
    Bytes dft = record(IMAGE_DFT, pattern(100, 9));
    dft[50] ^= 1;
    const Bytes app = record(IMAGE_APPLICATION, pattern(50, 10));
    Outcome o = install(concat({kernel, rfs, dft, app}), 0, 1);
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out, kExtracting + "Installing Kernel: " + kOneSector +
                         "Installing Root Filesystem: " + kOneSector +
                         "Installing Device Tree: " + bad_crc("DFT", dft));
    EXPECT_EQ(part("kernel"), padded(kernel));
    EXPECT_EQ(part("rfs"), padded(rfs));
    EXPECT_EQ(part("devicetree"), erased(kPartitionSize));
    EXPECT_FALSE(fs::exists("/user/images/image1"));

    // Cut short by the end of the file: checked over the bytes that exist, and voided.
    const Bytes cut(app.begin(), app.end() - 10);
    o = install(concat({kernel, cut}), 0, 1);
    EXPECT_EQ(o.out, kExtracting + "Installing Kernel: " + kOneSector +
                         "Installing Application: " + bad_crc("APPLICATION", cut));
    EXPECT_EQ(o.returned, 0);

    // An extended header too short to hold its own length: voided like a bad CRC.
    Bytes broken = record(IMAGE_RFS, pattern(40, 11), kId, 20);
    store_be16(std::span<std::uint8_t, 2>(broken.data() + 18, 2), 8);
    seal(broken);
    o = install(broken, 0, 0);
    EXPECT_THAT(o.out, HasSubstr("Installing Root Filesystem: Bad crc for RFS: 0x"));
    EXPECT_EQ(o.returned, 0);
}

TEST_F(InstallerTest, UnknownTypesAndGarbageTailsArePassedOver) {
    Outcome o =
        install(concat({record(0x07504F4C, pattern(30, 12)), record(0x00000001, {})}), 0, 0);
    EXPECT_EQ(o.out, kExtracting + "File processed\n");
    EXPECT_EQ(o.returned, 0);

    // A tail whose "len" is far larger than the file, and one whose lengths wrap.
    const Bytes kernel = record(IMAGE_KERNEL, pattern(30, 13));
    Bytes tail = pattern(40, 14);
    put32(tail, 4, 0xFFFFFF00);
    put32(tail, 8, 0x7F000000);
    o = install(concat({kernel, tail}), 0, 0);
    EXPECT_EQ(o.out, kExtracting + "Installing Kernel: " + kOneSector + "File processed\n");
    EXPECT_EQ(o.returned, 1);
    put32(tail, 8, 0xFF000000);
    store_be16(std::span<std::uint8_t, 2>(tail.data() + 18, 2), 0xFFFF);
    EXPECT_EQ(install(concat({kernel, tail}), 0, 0).returned, 1);

    EXPECT_EQ(install({}, 0, 0).out, kExtracting + "File processed\n");
    o = install({}, 0, 0, "", [] { fs::remove(kPackage); });
    EXPECT_EQ(o.out, "Cannot open image package /tmp/image\n");
    EXPECT_EQ(o.returned, 0);
}

class VersionSkipTest : public InstallerTest,
                        public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(VersionSkipTest, SameHeaderIsSkippedOnlyWithTheCheck) {
    const std::uint32_t type = GetParam();
    const auto make = [type](unsigned seed, std::uint32_t id) {
        return type == IMAGE_BOOT ? boot_record(300, seed, id)
                                  : record(type, pattern(300, seed), id, 24);
    };
    const Bytes installed = make(20, kId);
    ASSERT_EQ(install(installed, 0, 1).returned, 1);
    const auto stored = [&] {
        return type == IMAGE_APPLICATION ? read_file("/user/images/image1").value()
                                         : part(type == IMAGE_BOOT    ? "uboot"
                                                : type == IMAGE_DFT   ? "devicetree"
                                                : type == IMAGE_RFS   ? "rfs"
                                                : type == IMAGE_DIAGS ? "rescue"
                                                                      : "kernel");
    };
    const Bytes before = stored();

    // The boot loader's copy has no crc: a different payload with the same len, magic and id
    // counts as the same version. For the others the whole header, crc included, is compared.
    Outcome o = install(type == IMAGE_BOOT ? make(21, kId) : installed, 1, 1);
    EXPECT_EQ(o.returned, 0);
    EXPECT_THAT(o.out, HasSubstr(type == IMAGE_APPLICATION
                                     ? "Installing image as image1: Image1 has same version as "
                                       "existing image. Skipping update...\nFile processed\n"
                                     : ": Image has same version as existing image. Skipping "
                                       "update...\nFile processed\n"));
    EXPECT_EQ(stored(), before);

    EXPECT_EQ(install(make(22, kId + 1), 1, 1).returned, 1);
    EXPECT_NE(stored(), before);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, VersionSkipTest,
                         ::testing::Values(IMAGE_BOOT, IMAGE_KERNEL, IMAGE_RFS, IMAGE_DFT,
                                           IMAGE_DIAGS, IMAGE_APPLICATION),
                         [](const ::testing::TestParamInfo<std::uint32_t>& type) {
                             return std::string(record_type_name(type.param));
                         });

TEST_F(InstallerTest, SlotAnswerAndChunkedSlotWrite) {
    const Bytes small = record(IMAGE_APPLICATION, pattern(1000, 30));
    const Bytes big = record(IMAGE_APPLICATION, pattern(150000 - 16, 31));
    // The answer holds for the second application record: no second question.
    const Outcome o = install(concat({small, big}), 0, 0, "2xyz\n");
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(o.out, kExtracting + "Installing Application: " + kQuestion +
                         "Installing image as image2:     \b\b\b\b100%\b\b\b\b100%\n"
                         "\nImage2 updated succeeded\n"
                         "Installing Application: Installing image as image2:     "
                         "\b\b\b\b043%\b\b\b\b087%\b\b\b\b100%\b\b\b\b100%\n"
                         "\nImage2 updated succeeded\nFile processed\n");
    EXPECT_EQ(read_file("/user/images/image2"), big);
    EXPECT_FALSE(fs::exists("/user/images/image1"));
    EXPECT_EQ(vpd(1), 2);
}

TEST_F(InstallerTest, NoSlotChosenBootsTheRecordAtOnce) {
    const Bytes payload = pattern(700, 32);
    const Bytes app = record(IMAGE_APPLICATION, payload, kId, 40);
    const std::string booted = kExtracting + "Installing Application: " + kQuestion +
                               "Booting downloaded image\nImage ready to boot...\n" +
                               sys("cd /tmp \ntar mxzf /tmp/kaviximage.tar.gz \n"
                                   "rm /tmp/kaviximage.tar.gz\n") +
                               exec("/bin/backtrace") + sys("reboot");
    for (const char* input : {"3\n", "\n", ""}) {
        SCOPED_TRACE(input);
        fs::remove("/tmp/kaviximage.tar.gz");
        const Outcome o =
            install(concat({app, record(IMAGE_KERNEL, pattern(10, 33))}), 0, 0, input);
        EXPECT_EQ(o.exit_status, 0);
        EXPECT_EQ(o.out, booted);
        EXPECT_EQ(o.err, "Failed to start Application OS.\n");
        EXPECT_EQ(read_file("/tmp/kaviximage.tar.gz"), payload);
        EXPECT_EQ(part("kernel"), erased(kPartitionSize));  // records after it are not read
        EXPECT_FALSE(fs::exists("/user/images/image1") || fs::exists("/user/images/image2"));
    }
}

TEST_F(InstallerTest, FlashWriteFailureAtEverySectorKeepsEarlierRecords) {
    const Bytes dft = record(IMAGE_DFT, pattern(200, 40));
    const Bytes kernel = record(IMAGE_KERNEL, pattern(3 * kSector - 100, 41));
    const Bytes app = record(IMAGE_APPLICATION, pattern(20, 42));
    for (std::size_t bad = 0; bad < 3; ++bad) {
        SCOPED_TRACE(bad);
        write_file(part_path("kernel"), erased(kPartitionSize));
        board_conf("fault.mtd.write = kernel:" + std::to_string(bad) + "\n");
        const Outcome o = install(concat({dft, kernel, app}), 0, 1);
        EXPECT_EQ(o.returned, 0);
        EXPECT_THAT(o.out, HasSubstr("Flash Write mtd write failed.\n\nkernel image update "
                                     "failed\n"));
        EXPECT_EQ(part("devicetree"), padded(dft));
        // Sectors before the failing one hold the new bytes; those after it are untouched.
        const Bytes k = part("kernel");
        const auto sector = [](std::size_t n) { return static_cast<std::ptrdiff_t>(n * kSector); };
        EXPECT_TRUE(std::equal(kernel.begin(), kernel.begin() + sector(bad), k.begin()));
        EXPECT_EQ(Bytes(k.begin() + sector(bad + 1), k.end()), erased((15 - bad) * kSector));
        EXPECT_EQ(part("uboot"), erased(kBootLoaderSize));
        EXPECT_FALSE(fs::exists("/user/images/image1"));
        EXPECT_EQ(vpd(1), 0xFF);
    }
}

TEST_F(InstallerTest, FailedSlotWriteKeepsTheOldSlotFile) {
    const Bytes old = record(IMAGE_APPLICATION, pattern(64, 50));
    write_file("/user/images/image1", old);
    write_file("/user/images/image2.new", pattern(9, 0));  // left by a power cut
    // The file system fills up during the second chunk.
    Outcome o = install(record(IMAGE_APPLICATION, pattern(150000, 51)), 0, 1, "", [] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{100000, 100000};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out, kExtracting +
                         "Installing Application: Installing image as image1:     \b\b\b\b043%"
                         "Image1 update failed (err 27)\n");
    EXPECT_EQ(read_file("/user/images/image1"), old);
    EXPECT_EQ(std::distance(fs::directory_iterator("/user/images"), fs::directory_iterator()), 1);
    EXPECT_EQ(vpd(1), 0xFF);

    // The rename cannot replace what is in the way: nothing changes either.
    fs::create_directories("/user/images/image2/keep");
    o = install(old, 0, 2);
    EXPECT_EQ(o.returned, 0);
    EXPECT_THAT(o.out, HasSubstr("\b\b\b\b100%\b\b\b\b100%\nImage2 update failed (err 21)\n"));
    EXPECT_TRUE(fs::is_directory("/user/images/image2/keep"));
    EXPECT_FALSE(fs::exists("/user/images/image2.new"));
    EXPECT_EQ(vpd(1), 0xFF);

    // Without /user/images the installer makes it.
    fs::remove_all("/user/images");
    EXPECT_EQ(install(old, 0, 1).returned, 1);
    EXPECT_EQ(read_file("/user/images/image1"), old);
    EXPECT_EQ(vpd(1), 1);
}

TEST_F(InstallerTest, ReadFlashImageHeaderLookups) {
    write_file("/user/images/image2", {0xAA, 0xBB, 0xCC});
    const Outcome o = install({}, 0, 0, "", [] {
        std::uint8_t h[16];
        std::printf("[%d", read_flash_image_header(IMAGE_APPLICATION, h, 2));
        std::printf(" %02x%02x%02x%02x", h[0], h[2], h[3], h[15]);
        std::printf(" %d ", read_flash_image_header(IMAGE_APPLICATION, h, 1));
        const int unknown = read_flash_image_header(0x07504F4C, h, 1);
        std::printf("%d %d", unknown, read_flash_image_header(IMAGE_KERNEL, nullptr, 1));
        const int rfs = read_flash_image_header(IMAGE_RFS, h, 1);
        std::printf(" %d %02x]", rfs, h[0]);
    });
    EXPECT_THAT(o.out, HasSubstr("[1 aacc0000 0 Unknown image type 0x7504f4c \n0 0 1 ff]"));
}

}  // namespace
}  // namespace mp_test
