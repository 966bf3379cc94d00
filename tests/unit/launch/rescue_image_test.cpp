// The rescue image in flash: what is booted, what the operator's answer installs, and what a
// damaged or absent record does.
#include <algorithm>

#include "launch/launch_steps.hpp"
#include "launch_fixture.hpp"

namespace launch_test {
namespace {

constexpr std::uint32_t kApp = 0x01504F4C;
constexpr std::uint32_t kDiags = 0x06504F4C;

const Bytes kRecovery = text_bytes("recovery application tarball");
const std::string kQuestion =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";
const std::string kJustBoot =
    "\nBooting recovery image. You will need to download and install an image before "
    "rebooting\n";

Bytes past_the_end() {
    Bytes payload(kRescuePartitionSize + 4 - 16, 0x33);
    std::fill(payload.end() - 4, payload.end(), 0);
    Bytes record = make_record({kDiags, payload});
    record.resize(kRescuePartitionSize);
    return record;
}

class RescueImageTest : public LaunchTest {
protected:
    Outcome rescue(std::string_view input = "") {
        return run_with_devices([] { return extract_image_from_flash(); }, input);
    }
    std::optional<Bytes> tarball() { return read_file("/tmp/kaviximage.tar.gz"); }
};

TEST_F(RescueImageTest, DiagnosticsRecordBootsWithoutAQuestion) {
    write_rescue(make_record({.magic = kDiags, .payload = kRecovery, .hdrlen = 32}));
    const Outcome o = rescue("1\n");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, std::string("Launching diagnostics image\n") + kUnpack +
                         "install diags image\n" + sys("mkdir -p /tmp/home/bin") +
                         sys("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip") +
                         kBacktraceOut);
    EXPECT_EQ(tarball(), kRecovery);
    EXPECT_EQ(vpd(59), 4);
    EXPECT_EQ(vpd(1), 0xFF);
}

TEST_F(RescueImageTest, AnswerOneOrTwoInstallsTheRecordIntoThatSlot) {
    const Bytes record = make_record({kApp, kRecovery});
    write_rescue(record);
    for (const char slot : {'1', '2'}) {
        set_vpd(1, 0);
        set_vpd(59, 0);
        // Only the first 7 characters are read; the rest stays for whoever reads next.
        answer = [](std::string_view kind, std::string_view) {
            if (kind == "exec") {
                char rest[32] = {};
                note(std::string("{unread:") + (std::fgets(rest, sizeof rest, stdin) ? rest : "") +
                     "}");
            }
            return 0;
        };
        const Outcome o = rescue(std::string(1, slot) + "abcdefgh\n");
        // The slot file is replaced whole: written beside it, synced, renamed over it.
        std::string copy =
            "cp /tmp/image /user/images/imageN.new && sync && "
            "mv /user/images/imageN.new /user/images/imageN\n";
        std::replace(copy.begin(), copy.end(), 'N', slot);
        std::string expected = kQuestion;
        expected += "\nInstalling recovery image as imageN...\n";
        expected += sys("mkdir /user/images &> /dev/null") + sys(copy);
        expected += "Setting boot image to N\n";
        std::replace(expected.begin(), expected.end(), 'N', slot);
        expected += std::string(kUnpack) + exec("/bin/backtrace") + "{unread:gh\n}" + sys("reboot");
        EXPECT_EQ(o.out, expected);
        EXPECT_EQ(o.err, kBacktraceErr);
        EXPECT_EQ(read_file("/tmp/image"), record);
        EXPECT_EQ(tarball(), kRecovery);
        EXPECT_EQ(vpd(1), slot - '0');
        EXPECT_EQ(vpd(59), slot - '0');
    }
}

TEST_F(RescueImageTest, OtherAnswersBootTheRecoveryImageFromFlash) {
    write_rescue(make_record({kApp, kRecovery}));
    set_vpd(1, 2);
    for (const char* input : {"3\n", "\n", "x1\n"}) {
        set_vpd(59, 0);
        const Outcome o = rescue(input);
        EXPECT_EQ(o.out, kQuestion + kJustBoot + kUnpack + kBacktraceOut) << input;
        EXPECT_EQ(vpd(59), 4) << input;
        EXPECT_EQ(vpd(1), 2) << input;
        EXPECT_FALSE(read_file("/tmp/image")) << input;
    }

    // End of input: the launch goes on and neither VPD byte changes.
    set_vpd(59, 0);
    const Outcome o = rescue("");
    EXPECT_EQ(o.out, kQuestion + kUnpack + kBacktraceOut);
    EXPECT_EQ(vpd(59), 0);
    EXPECT_EQ(vpd(1), 2);
}

TEST_F(RescueImageTest, UnusableRecordsReturnWithAnEmptyTarball) {
    struct Case {
        const char* what;
        Bytes record;
        const char* err;
    };
    Bytes erased(20, 0xFF);
    const Case cases[] = {
        {"erased", erased, "Image not found... \n"},
        {"bad CRC", make_record({.magic = kApp, .payload = kRecovery, .bad_crc = true}),
         "Image CRC failed. Quitting\n"},
        // The record runs 4 bytes past the 64 KiB partition, and with those bytes zero its CRC
        // would be right: a read that comes back short must not make it bootable.
        {"longer than the partition", past_the_end(), "Image CRC failed. Quitting\n"},
        {"shorter than its probe", make_record({kApp, {}}), "Image CRC failed. Quitting\n"},
    };
    for (const Case& c : cases) {
        write_rescue(Bytes(64, 0xFF));
        write_rescue(c.record);
        const Outcome o = rescue("1\n");
        EXPECT_EQ(o.returned, 0) << c.what;
        EXPECT_EQ(o.out, "") << c.what;
        EXPECT_EQ(o.err, c.err) << c.what;
        EXPECT_EQ(tarball(), Bytes{}) << c.what;
        EXPECT_EQ(vpd(59), 0xFF) << c.what;
    }

    board_conf("fault.mtd.absent = 1\n");
    write_rescue(make_record({kDiags, kRecovery}));
    const Outcome o = rescue();
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.err, "Image not found... \n");
}

TEST_F(RescueImageTest, FilesThatCannotBeCreatedResetTheBoard) {
    write_rescue(make_record({kApp, kRecovery}));
    std::filesystem::create_directory("/tmp/image");
    Outcome o = rescue("2\n");
    std::filesystem::remove("/tmp/image");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, kQuestion + "\nInstalling recovery image as image2...\n" + sys("reboot"));
    EXPECT_EQ(o.err, "Failed to open image file.\n");
    EXPECT_EQ(vpd(1), 0xFF);

    std::filesystem::remove("/tmp/kaviximage.tar.gz");
    std::filesystem::create_directory("/tmp/kaviximage.tar.gz");
    o = rescue("2\n");
    std::filesystem::remove("/tmp/kaviximage.tar.gz");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, sys("reboot"));
    EXPECT_EQ(o.err, "Failed to open AppOS tarfile.\n");
}

}  // namespace
}  // namespace launch_test
