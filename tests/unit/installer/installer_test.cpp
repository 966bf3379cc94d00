// The package installer on a scratch board: what lands where, what a failing record leaves alone.
#include <sys/resource.h>

#include <gmock/gmock.h>

#include <csignal>
#include <filesystem>
#include <set>

#include "history/history.hpp"
#include "image/record.hpp"
#include "installer/installer.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

Bytes rec(std::uint32_t magic, std::size_t n, unsigned seed, std::uint32_t id = kId) {
    return make_record({.magic = magic, .payload = pattern(n, seed), .hdrlen = 24, .id = id});
}

// A boot loader carries the copy of its header (crc word 0) at payload byte 240.
Bytes boot(std::size_t n, unsigned seed, std::uint32_t id = kId) {
    Bytes r = make_record({.magic = IMAGE_BOOT, .payload = pattern(n, seed), .id = id});
    std::fill_n(r.begin() + 256, 4, 0);
    std::copy_n(r.begin() + 4, 12, r.begin() + 260);
    seal(r);
    return r;
}

Bytes padded(Bytes b, std::size_t size = kPartitionSize) {
    b.resize(size, 0xFF);
    return b;
}

class Installer : public BoardTest {
protected:
    Outcome install(const Bytes& package, int check, int slot, std::string_view input = "",
                    rlim_t file_size = RLIM_INFINITY) {
        write_file("/tmp/image", package);
        return run_with_devices(
            [&] {
                std::signal(SIGXFSZ, SIG_IGN);
                const rlimit limit{file_size, file_size};
                setrlimit(RLIMIT_FSIZE, &limit);
                return processLamelImage("/tmp/image", static_cast<std::uint8_t>(check), slot);
            },
            input);
    }
};

TEST_F(Installer, RecordsGoToTheirHomes) {
    const Bytes b = boot(600, 1), k = rec(IMAGE_KERNEL, 5000, 2), d = rec(IMAGE_DIAGS, 100, 3);
    const Bytes app = rec(IMAGE_APPLICATION, 70000, 4), skip = rec(0x07504F4C, 30, 5);
    const Outcome o = install(concat({b, skip, k, d, app}), 0, 0, "2xyz\n");
    EXPECT_EQ(o.returned, 1);
    // Every line the operator sees; "done" ends the diagnostics alone.
    EXPECT_EQ(o.out,
              "\nExtracting images ... Do *NOT* power cycle the switch.\n"
              "Installing Boot Loader:      \b\b\b\b000%\b\b\b\b100%\n"
              "Installing Kernel:      \b\b\b\b000%\b\b\b\b050%\b\b\b\b100%\n"
              "Installing Diagnostics:      \b\b\b\b000%\b\b\b\b100%\ndone\n"
              "Installing Application: Install image as image 1 or 2 (hit return to just boot "
              "image): Installing image as image2:     \b\b\b\b093%\b\b\b\b100%\b\b\b\b100%\n"
              "\nImage2 updated succeeded\nFile processed\n");
    EXPECT_EQ(part("uboot"), padded(Bytes(b.begin() + 16, b.end()), kBootLoaderSize));
    EXPECT_EQ(part("kernel"), padded(k));
    EXPECT_EQ(part("rescue"), padded(d));
    EXPECT_EQ(read_file("/user/images/image2"), app);
    EXPECT_FALSE(fs::exists("/user/images/image1"));
    EXPECT_EQ(vpd(1), 2);
}

// Limits are inclusive: on the payload for the boot loader, on the whole record for the others.
TEST_F(Installer, SizeLimits) {
    const std::pair<Bytes, const char*> cases[] = {
        {boot(0x80001, 6), "UBOOT image is too big for flash (524289 > 524288)\n"},
        {rec(IMAGE_KERNEL, 0x300000 - 23, 7), "KERNEL image is too big for flash (3145729 > "},
    };
    for (const auto& [record, text] : cases) {
        const Outcome o = install(record, 0, 0);
        EXPECT_THAT(o.out, HasSubstr(text));
        EXPECT_EQ(o.returned, 0);
    }
    const Bytes at_limit = boot(0x80000, 9);
    EXPECT_EQ(install(at_limit, 0, 0).returned, 1);
    EXPECT_EQ(part("uboot"), Bytes(at_limit.begin() + 16, at_limit.end()));
    EXPECT_EQ(part("kernel"), erased(kPartitionSize));
}

// Bad records after a good package change nothing (nor does the good one before them); the bad
// one's heading and line follow the first line. `tail` is cut and resealed; a length that wraps
// to 5 bytes gets the CRC of byte 4; the rfs partition is smaller than the installer's limit.
TEST_F(Installer, BadRecordsChangeNothing) {
    const Bytes k = rec(IMAGE_KERNEL, 100, 10), app = rec(IMAGE_APPLICATION, 50, 11);
    Bytes flipped = rec(IMAGE_DFT, 100, 12), short_hdr = rec(IMAGE_RFS, 40, 13);
    Bytes wraps = rec(IMAGE_KERNEL, 100, 14);
    flipped[50] ^= 1;
    short_hdr[19] = 8;
    seal(short_hdr);
    std::copy_n(Bytes{0xFF, 0xFF, 0xFF, 0xED}.begin(), 4,
                wraps.begin() + 4);  // 24 + len = 2^32 + 5
    Bytes tail(app.begin(), app.end() - 10);
    const Bytes cut = tail;
    seal(tail);
    fs::resize_file(part_path("rfs"), 8 * kSector);
    ASSERT_EQ(install(concat({k, app}), 0, 1).returned, 1);
    const std::pair<Bytes, const char*> cases[] = {
        {concat({flipped, app}), "Installing Device Tree: Bad crc for DFT: "},
        {concat({short_hdr, app}), "Installing Root Filesystem: Bad crc for RFS: "},
        {cut, "Installing Application: Bad crc for APPLICATION: "},
        {tail, "Installing Application: Bad crc for APPLICATION: "},
        {wraps, "Installing Kernel: Bad crc for KERNEL: 0x00ffffff, voiding download\n"},
        {rec(IMAGE_RFS, 8 * kSector - 23, 15),
         "Installing Root Filesystem: RFS image is too big for flash (32769 > 32768)\n"},
    };
    for (const auto& [bad, text] : cases) {
        const Outcome o = install(concat({rec(IMAGE_KERNEL, 90, 16), bad}), 0, 2);
        EXPECT_EQ(o.returned, 0);
        EXPECT_THAT(o.out, HasSubstr(std::string("switch.\n") + text));
        EXPECT_EQ(part("kernel"), padded(k));
        EXPECT_EQ(part("devicetree"), erased(kPartitionSize));
        EXPECT_EQ(part("rfs"), erased(8 * kSector));
        EXPECT_EQ(read_file("/user/images/image1"), app);
        EXPECT_FALSE(fs::exists("/user/images/image2"));
        EXPECT_EQ(vpd(1), 1);
    }
}

class VersionCheck : public Installer, public ::testing::WithParamInterface<std::uint32_t> {};

// Same header: skipped, only with the check (the boot loader's copy: len, magic and id only).
TEST_P(VersionCheck, SameHeaderIsSkipped) {
    const std::uint32_t type = GetParam();
    const auto make = [type](unsigned seed, std::uint32_t id) {
        return type == IMAGE_BOOT ? boot(300, seed, id) : rec(type, 300, seed, id);
    };
    const auto stored = [&] {
        return type == IMAGE_APPLICATION ? read_file("/user/images/image1").value()
                                         : part(type == IMAGE_BOOT ? "uboot" : "rescue");
    };
    ASSERT_EQ(install(make(20, kId), 0, 1).returned, 1);
    const Bytes before = stored();
    const Outcome o = install(type == IMAGE_BOOT ? make(21, kId) : make(20, kId), 1, 1);
    EXPECT_THAT(o.out, HasSubstr("has same version as existing image. Skipping update...\n"));
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(stored(), before);
    EXPECT_EQ(install(make(22, kId + 1), 1, 1).returned, 1);
    EXPECT_NE(stored(), before);
}

INSTANTIATE_TEST_SUITE_P(All, VersionCheck,
                         ::testing::Values(IMAGE_BOOT, IMAGE_DIAGS, IMAGE_APPLICATION));

TEST_F(Installer, FailedWritesKeepWhatWasThere) {
    const Bytes dft = rec(IMAGE_DFT, 200, 17), kernel = rec(IMAGE_KERNEL, 3 * kSector, 18);
    board_conf("fault.mtd.write = kernel:1\n");
    Outcome o = install(concat({dft, kernel, rec(IMAGE_APPLICATION, 20, 19)}), 0, 1);
    EXPECT_EQ(o.returned, 0);
    EXPECT_THAT(o.out, HasSubstr("mtd write failed.\n\nkernel image update failed\n"));
    EXPECT_EQ(part("devicetree"), padded(dft));
    const Bytes k = part("kernel");
    EXPECT_TRUE(std::equal(kernel.begin(), kernel.begin() + kSector, k.begin()));
    EXPECT_EQ(Bytes(k.begin() + 2 * kSector, k.end()), erased(14 * kSector));
    EXPECT_FALSE(fs::exists("/user/images/image1"));

    // The slot file system fills up in the second chunk: the old slot file stays.
    const Bytes old = rec(IMAGE_APPLICATION, 64, 20);
    write_file("/user/images/image1", old);
    write_file("/user/images/image2.new", pattern(9, 0));  // left by a power cut
    o = install(rec(IMAGE_APPLICATION, 150000, 21), 0, 1, "", 100000);
    EXPECT_THAT(o.out, HasSubstr("043%Image1 update failed (err 27)\n"));
    EXPECT_EQ(read_file("/user/images/image1"), old);
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator("/user/images")) {
        names.insert(entry.path().filename());
    }
    EXPECT_EQ(names, std::set<std::string>{"image1"});
    EXPECT_EQ(vpd(1), 0xFF);
    // Both failures are on record with the step and the record that failed.
    const history::Log log = history::read(history::Kind::install, "/user/install-history");
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].text("result"), "failed");
    EXPECT_EQ(*log.entries[0].get("records"),
              "dft:1.2.3.4:devicetree:written,kernel:1.2.3.4:kernel:failed,"
              "application:1.2.3.4:slot1:pending");
    EXPECT_EQ(log.entries[1].text("reason"), "write");
    EXPECT_EQ(*log.entries[1].get("records"), "application:1.2.3.4:slot1:failed");
}

}  // namespace
}  // namespace mp_test
