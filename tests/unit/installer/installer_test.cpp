// The package installer on an emulated board inside the test jail: partition bytes, slot files,
// the VPD slot byte and the console texts. Every run is a forked child, since the boot-now path
// ends the process and the flash and I2C modules keep their descriptors for a process's life.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "crc/crc.hpp"
#include "flash/flash.hpp"
#include "flash/flash_testing.hpp"
#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"
#include "image/byte_order.hpp"
#include "image/installer.hpp"
#include "image/record.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using ::testing::HasSubstr;

constexpr std::size_t kSector = 4096;
constexpr std::uint32_t kId = 0x01020304;
constexpr const char* kPackage = "/tmp/image";
const std::string kExtracting = "\nExtracting images ... Do *NOT* power cycle the switch.\n";
const std::string kQuestion = "Install image as image 1 or 2 (hit return to just boot image): ";

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + seed);
    }
    return b;
}

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    store_be32(std::span<std::uint8_t, 4>(b.data() + at, 4), v);
}

void seal(Bytes& r) {
    put32(r, 0, gen_crc(r.data() + 4, static_cast<std::uint32_t>(r.size() - 4), CRC_START));
}

// A record as the board stores it; hdrlen non-zero makes an extended header of that length.
Bytes record(std::uint32_t magic, const Bytes& payload, std::uint32_t id = kId,
             std::uint16_t hdrlen = 0) {
    Bytes r(hdrlen != 0 ? hdrlen : 16, 0);
    put32(r, 4, static_cast<std::uint32_t>(payload.size()));
    put32(r, 8, hdrlen != 0 ? magic | RECORD_EXTENDED : magic);
    put32(r, 12, id);
    if (hdrlen != 0) {
        store_be16(std::span<std::uint8_t, 2>(r.data() + 18, 2), hdrlen);
    }
    r.insert(r.end(), payload.begin(), payload.end());
    seal(r);
    return r;
}

// A boot loader with the copy of its header (crc word 0) at payload byte 240.
Bytes boot_record(std::size_t payload_size, unsigned seed, std::uint32_t id = kId) {
    Bytes r = record(IMAGE_BOOT, pattern(payload_size, seed), id);
    std::fill_n(r.begin() + 16 + 240, 4, 0);
    std::copy_n(r.begin() + 4, 12, r.begin() + 16 + 244);
    seal(r);
    return r;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

std::string bad_crc(const char* name, const Bytes& bytes) {
    char line[96];
    std::snprintf(
        line, sizeof line, "Bad crc for %s: 0x%08x, voiding download\n", name,
        gen_crc(bytes.data() + 4, static_cast<std::uint32_t>(bytes.size() - 4), CRC_START));
    return line;
}

// One sector's worth of flash progress, as the flash layer prints it.
const std::string kOneSector = "     \b\b\b\b000%\b\b\b\b100%\n";

void write_file(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::optional<Bytes> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Outcome {
    std::optional<int> returned;  // processLamelImage returned this
    int exit_status = -1;         // otherwise the process ended with this status
    std::string out;              // stdout, with recorded commands as {kind:command}
    std::string err;
};

class InstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        struct stat st {};
        if (stat("/usr/bin", &st) == 0) {
            GTEST_SKIP() << "uses /user and /tmp: runs only inside the test jail";
        }
        char name[] = "/installer-board-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir_ = name;
        for (const char* d : {"dev/lamel", "etc", "var/log"}) {
            fs::create_directories(dir_ + "/" + d);
        }
        for (const char* p : {"devicetree", "kernel", "rfs", "rescue"}) {
            write_file(part_path(p), Bytes(16 * kSector, 0xFF));
        }
        write_file(part_path("uboot"), Bytes(0x80000, 0xFF));
        write_file(part_path("ubootenv"), Bytes(kSector, 0xFF));
        write_file(dir_ + "/dev/i2c-0", {});
        write_file(dir_ + "/dev/i2c-1", {});
        write_file(dir_ + "/dev/lamel/cpld_mmmap", Bytes(32, 0));
        write_file(dir_ + "/var/vpd.bin", Bytes(256, 0xFF));
        board_conf("");
        fs::remove_all("/user");
        fs::create_directories("/user/images");
        fs::create_directories("/tmp");
    }
    void TearDown() override {
        if (!dir_.empty()) {
            fs::remove_all(dir_);
        }
    }

    std::string part_path(const std::string& p) const { return dir_ + "/dev/mtd-" + p; }
    Bytes part(const std::string& p) const { return read_file(part_path(p)).value(); }
    std::uint8_t vpd(unsigned offset) const {
        return read_file(dir_ + "/var/vpd.bin").value().at(offset);
    }
    void board_conf(const std::string& extra) {
        const std::string conf = "clock.scale = 0\nmtd.erase_size = 4096\n" + extra;
        write_file(dir_ + "/etc/board.conf", Bytes(conf.begin(), conf.end()));
    }

    // The package in /tmp/image, installed by a child with the flash and buses open as at
    // start-up; `input` is the console.
    Outcome install(const Bytes& package, std::uint8_t check_versions, std::int32_t slot,
                    const std::string& input = "", const std::function<void()>& before = {}) {
        write_file(kPackage, package);
        write_file(dir_ + "/stdin", Bytes(input.begin(), input.end()));
        const std::string out = dir_ + "/stdout";
        const std::string err = dir_ + "/stderr";
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            const int in = open((dir_ + "/stdin").c_str(), O_RDONLY);
            const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || o < 0 || e < 0 || dup2(in, 0) < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) {
                _exit(126);
            }
            platform::sandbox::set_root(dir_);
            platform::sandbox::reload();
            flash_reset_for_tests();
            i2c_reset_for_tests();
            platform::sandbox::set_recorder([](std::string_view kind, std::string_view cmd) {
                std::printf("{%.*s:%.*s}", static_cast<int>(kind.size()), kind.data(),
                            static_cast<int>(cmd.size()), cmd.data());
                return 0;
            });
            api_i2c_init();
            api_flash_init();
            if (before) {
                before();
            }
            const int r = processLamelImage(kPackage, check_versions, slot);
            std::printf("{returned %d}", r);
            std::fflush(stdout);
            _exit(0);
        }
        Outcome o;
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        o.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const Bytes text = read_file(out).value_or(Bytes{});
        o.out.assign(text.begin(), text.end());
        const Bytes errors = read_file(err).value_or(Bytes{});
        o.err.assign(errors.begin(), errors.end());
        const auto at = o.out.rfind("{returned ");
        if (at != std::string::npos) {
            o.returned = std::stoi(o.out.substr(at + 10));
            o.out.erase(at);
        }
        return o;
    }

    std::string dir_;
};

Bytes with_tail(Bytes bytes, std::size_t size, std::uint8_t fill) {
    bytes.resize(size, fill);
    return bytes;
}

// ---- Flash records --------------------------------------------------------------------------

TEST_F(InstallerTest, FlashRecordsGoToOffsetZeroOfTheirPartitions) {
    const Bytes boot = boot_record(600, 1);
    const Bytes kernel = record(IMAGE_KERNEL, pattern(5000, 2));
    const Bytes diags = record(IMAGE_DIAGS, pattern(100, 3), kId, 28);
    const Outcome o = install(cat({boot, kernel, diags}), 0, 0);
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(o.out, kExtracting + "Installing Boot Loader: " + kOneSector +
                         "Installing Kernel:      \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n" +
                         "Installing Diagnostics: " + kOneSector + "done\nFile processed\n");
    // The boot loader without its record header; the others whole, header included.
    EXPECT_EQ(part("uboot"), with_tail(Bytes(boot.begin() + 16, boot.end()), 0x80000, 0xFF));
    EXPECT_EQ(part("kernel"), with_tail(kernel, 16 * kSector, 0xFF));
    EXPECT_EQ(part("rescue"), with_tail(diags, 16 * kSector, 0xFF));
    EXPECT_EQ(vpd(1), 0xFF);
}

TEST_F(InstallerTest, SizeLimitsAreInclusiveAndTheDeviceTreeLimitCoversTheHeader) {
    const Bytes at_limit = boot_record(0x80000, 4);
    Outcome o = install(at_limit, 0, 0);
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(part("uboot"), Bytes(at_limit.begin() + 16, at_limit.end()));

    o = install(cat({record(IMAGE_KERNEL, pattern(10, 5)), boot_record(0x80001, 6)}), 0, 0);
    EXPECT_EQ(o.returned, 0);
    EXPECT_THAT(o.out, HasSubstr("Installing Boot Loader: UBOOT image is too big for flash "
                                 "(524289 > 524288)\n"));
    EXPECT_EQ(part("uboot"), Bytes(at_limit.begin() + 16, at_limit.end()));

    o = install(record(IMAGE_DFT, Bytes(0x40000, 0)), 0, 0);
    EXPECT_EQ(o.out, kExtracting +
                         "Installing Device Tree: DFT image is too big for flash "
                         "(262160 > 262144)\n");
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(part("devicetree"), Bytes(16 * kSector, 0xFF));
}

// ---- Damaged and odd packages ---------------------------------------------------------------

TEST_F(InstallerTest, DamagedRecordEndsTheRunAndKeepsWhatCameBefore) {
    const Bytes kernel = record(IMAGE_KERNEL, pattern(100, 7));
    const Bytes rfs = record(IMAGE_RFS, pattern(100, 8));
    Bytes dft = record(IMAGE_DFT, pattern(100, 9));
    dft[50] ^= 1;
    const Bytes app = record(IMAGE_APPLICATION, pattern(50, 10));
    Outcome o = install(cat({kernel, rfs, dft, app}), 0, 1);
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out, kExtracting + "Installing Kernel: " + kOneSector +
                         "Installing Root Filesystem: " + kOneSector +
                         "Installing Device Tree: " + bad_crc("DFT", dft));
    EXPECT_EQ(part("kernel"), with_tail(kernel, 16 * kSector, 0xFF));
    EXPECT_EQ(part("rfs"), with_tail(rfs, 16 * kSector, 0xFF));
    EXPECT_EQ(part("devicetree"), Bytes(16 * kSector, 0xFF));
    EXPECT_FALSE(fs::exists("/user/images/image1"));

    // Cut short by the end of the file: checked over the bytes that exist, and voided.
    const Bytes cut(app.begin(), app.end() - 10);
    o = install(cat({kernel, cut}), 0, 1);
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
    const Bytes unknown = record(0x07504F4C, pattern(30, 12));
    Outcome o = install(cat({unknown, record(0x00000001, {})}), 0, 0);
    EXPECT_EQ(o.out, kExtracting + "File processed\n");
    EXPECT_EQ(o.returned, 0);

    // A tail whose "len" is far larger than the file, and one whose lengths wrap.
    const Bytes kernel = record(IMAGE_KERNEL, pattern(30, 13));
    Bytes tail = pattern(40, 14);
    put32(tail, 4, 0xFFFFFF00);
    put32(tail, 8, 0x7F000000);
    o = install(cat({kernel, tail}), 0, 0);
    EXPECT_EQ(o.out, kExtracting + "Installing Kernel: " + kOneSector + "File processed\n");
    EXPECT_EQ(o.returned, 1);
    put32(tail, 8, 0xFF000000);
    store_be16(std::span<std::uint8_t, 2>(tail.data() + 18, 2), 0xFFFF);
    o = install(cat({kernel, tail}), 0, 0);
    EXPECT_EQ(o.returned, 1);

    o = install({}, 0, 0);
    EXPECT_EQ(o.out, kExtracting + "File processed\n");
    fs::remove(kPackage);
    o = install({}, 0, 0, "", [] { fs::remove(kPackage); });
    EXPECT_EQ(o.out, "Cannot open image package /tmp/image\n");
    EXPECT_EQ(o.returned, 0);
}

// ---- Version check --------------------------------------------------------------------------

class VersionSkipTest : public InstallerTest,
                        public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(VersionSkipTest, SameHeaderIsSkippedOnlyWithTheCheck) {
    const std::uint32_t type = GetParam();
    const auto make = [type](unsigned seed, std::uint32_t id) {
        return type == IMAGE_BOOT ? boot_record(300, seed, id)
                                  : record(type, pattern(300, seed), id, 24);
    };
    const Bytes installed = make(20, kId);
    Outcome o = install(installed, 0, 1);
    ASSERT_EQ(o.returned, 1);
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
    const Bytes same = type == IMAGE_BOOT ? make(21, kId) : installed;
    o = install(same, 1, 1);
    EXPECT_EQ(o.returned, 0);
    EXPECT_THAT(o.out, HasSubstr(type == IMAGE_APPLICATION
                                     ? "Installing image as image1: Image1 has same version as "
                                       "existing image. Skipping update...\nFile processed\n"
                                     : ": Image has same version as existing image. Skipping "
                                       "update...\nFile processed\n"));
    EXPECT_EQ(stored(), before);

    o = install(make(22, kId + 1), 1, 1);
    EXPECT_EQ(o.returned, 1);
    EXPECT_NE(stored(), before);
}

INSTANTIATE_TEST_SUITE_P(AllTypes, VersionSkipTest,
                         ::testing::Values(IMAGE_BOOT, IMAGE_KERNEL, IMAGE_RFS, IMAGE_DFT,
                                           IMAGE_DIAGS, IMAGE_APPLICATION),
                         [](const ::testing::TestParamInfo<std::uint32_t>& type) {
                             return std::string(record_type_name(type.param));
                         });

// ---- Application records --------------------------------------------------------------------

TEST_F(InstallerTest, SlotAnswerAndChunkedSlotWrite) {
    const Bytes small = record(IMAGE_APPLICATION, pattern(1000, 30));
    const Bytes big = record(IMAGE_APPLICATION, pattern(150000 - 16, 31));
    // The answer holds for the second application record: no second question.
    Outcome o = install(cat({small, big}), 0, 0, "2xyz\n");
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
    for (const char* answer : {"3\n", "\n", ""}) {
        fs::remove("/tmp/kaviximage.tar.gz");
        const Outcome o = install(cat({app, record(IMAGE_KERNEL, pattern(10, 33))}), 0, 0, answer);
        EXPECT_FALSE(o.returned.has_value()) << answer;
        EXPECT_EQ(o.exit_status, 0);
        EXPECT_THAT(o.out,
                    HasSubstr(kQuestion + "Booting downloaded image\nImage ready to boot...\n"
                                          "{system:cd /tmp \ntar mxzf "));
        EXPECT_THAT(o.out, HasSubstr("{exec:/bin/backtrace}{system:reboot}"));
        EXPECT_EQ(o.err, "Failed to start Application OS.\n");
        EXPECT_EQ(read_file("/tmp/kaviximage.tar.gz"), payload);
        EXPECT_EQ(part("kernel"), Bytes(16 * kSector, 0xFF));  // records after it are not read
        EXPECT_FALSE(fs::exists("/user/images/image1") || fs::exists("/user/images/image2"));
    }
}

// ---- Failures on the way out ----------------------------------------------------------------

TEST_F(InstallerTest, FlashWriteFailureAtEverySectorKeepsEarlierRecords) {
    const Bytes dft = record(IMAGE_DFT, pattern(200, 40));
    const Bytes kernel = record(IMAGE_KERNEL, pattern(3 * kSector - 100, 41));
    const Bytes app = record(IMAGE_APPLICATION, pattern(20, 42));
    for (std::size_t bad = 0; bad < 3; ++bad) {
        SCOPED_TRACE(bad);
        write_file(part_path("kernel"), Bytes(16 * kSector, 0xFF));
        board_conf("fault.mtd.write = kernel:" + std::to_string(bad) + "\n");
        const Outcome o = install(cat({dft, kernel, app}), 0, 1);
        EXPECT_EQ(o.returned, 0);
        EXPECT_THAT(o.out, HasSubstr("Flash Write mtd write failed.\n\nkernel image update "
                                     "failed\n"));
        EXPECT_EQ(part("devicetree"), with_tail(dft, 16 * kSector, 0xFF));
        // Sectors before the failing one hold the new bytes; those after it are untouched.
        const Bytes k = part("kernel");
        const auto sector = [](std::size_t n) { return static_cast<std::ptrdiff_t>(n * kSector); };
        EXPECT_TRUE(std::equal(kernel.begin(), kernel.begin() + sector(bad), k.begin()));
        EXPECT_EQ(Bytes(k.begin() + sector(bad + 1), k.end()), Bytes((15 - bad) * kSector, 0xFF));
        EXPECT_EQ(part("uboot"), Bytes(0x80000, 0xFF));
        EXPECT_FALSE(fs::exists("/user/images/image1"));
        EXPECT_EQ(vpd(1), 0xFF);
    }
}

TEST_F(InstallerTest, FailedSlotWriteKeepsTheOldSlotFile) {
    const Bytes old = record(IMAGE_APPLICATION, pattern(64, 50));
    write_file("/user/images/image1", old);
    write_file("/user/images/image2.new", pattern(9, 0));  // left by a power cut
    const Bytes big = record(IMAGE_APPLICATION, pattern(150000, 51));
    // The file system fills up during the second chunk.
    Outcome o = install(big, 0, 1, "", [] {
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
    o = install(old, 0, 1);
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(read_file("/user/images/image1"), old);
    EXPECT_EQ(vpd(1), 1);
}

// ---- Stored headers -------------------------------------------------------------------------

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
