// The rescue image in flash: what is booted, what the operator's answer installs, and what a
// damaged or absent record does.
#include <algorithm>
#include <filesystem>

#include "launch_test.hpp"

namespace mp_test {
namespace {

const Bytes kRecovery = text_bytes("recovery application tarball");
const std::string kQuestion =
    "Install recovery image as image 1 or 2 (hit return to just boot image): ";
const std::string kCrcFailed = "Image CRC failed. Quitting\n";

class RescueImageTest : public LaunchTest {
protected:
    Outcome rescue(std::string_view input = "") {
        return run_with_devices([] { return extract_image_from_flash(); }, input);
    }
};

TEST_F(RescueImageTest, EachAnswerInstallsOrBoots) {
    const Bytes record = make_record({kApp, kRecovery});
    write_rescue(record);
    // Only the first 7 characters are read; the rest stays for whoever reads next.
    answer = [](std::string_view kind, std::string_view) {
        if (kind == "exec") {
            char rest[32] = {};
            note(std::string("{unread:") + (std::fgets(rest, sizeof rest, stdin) ? rest : "") +
                 "}");
        }
        return 0;
    };
    const std::string boot = kUnpack + exec("/bin/backtrace") + "{unread:}" + sys("reboot");
    const std::string just_boot =
        "\nBooting recovery image. You will need to download and install an image before "
        "rebooting\n";
    const std::string question_and_just_boot = kQuestion + just_boot;
    for (const char* input : {"1abcdefgh\n", "2abcdefgh\n", "3\n", "\n", "x1\n", ""}) {
        SCOPED_TRACE(input);
        set_vpd(1, 2);
        set_vpd(59, 0);
        std::filesystem::remove("/tmp/image");
        const Outcome o = rescue(input);
        const char slot = input[0];
        if (slot == '1' || slot == '2') {
            // The slot file is replaced whole: written beside it, synced, renamed over it.
            std::string expected = kQuestion + "\nInstalling recovery image as imageN...\n" +
                                   sys("mkdir /user/images &> /dev/null") +
                                   sys("cp /tmp/image /user/images/imageN.new && sync && "
                                       "mv /user/images/imageN.new /user/images/imageN\n") +
                                   "Setting boot image to N\n";
            std::replace(expected.begin(), expected.end(), 'N', slot);
            expected += kUnpack + exec("/bin/backtrace") + "{unread:gh\n}" + sys("reboot");
            EXPECT_EQ(o.out, expected);
            EXPECT_EQ(read_file("/tmp/image"), record);
            EXPECT_EQ(vpd(1), slot - '0');
            EXPECT_EQ(vpd(59), slot - '0');
        } else {
            // End of input: the launch goes on and neither VPD byte changes.
            EXPECT_EQ(o.out, (slot == 0 ? kQuestion : question_and_just_boot) + boot);
            EXPECT_EQ(vpd(59), slot == 0 ? 0 : 4);
            EXPECT_EQ(vpd(1), 2);
            EXPECT_FALSE(read_file("/tmp/image"));
        }
        EXPECT_EQ(o.err, kBacktraceErr);
        EXPECT_EQ(tarball(), kRecovery);
    }
}

TEST_F(RescueImageTest, UnusableRecordsReturnWithAnEmptyTarball) {
    // The record runs 4 bytes past the partition, and with those bytes zero its CRC would be
    // right: a read that comes back short must not make it bootable.
    Bytes payload(kPartitionSize + 4 - 16, 0x33);
    std::fill(payload.end() - 4, payload.end(), 0);
    Bytes past_the_end = make_record({kDiags, payload});
    past_the_end.resize(kPartitionSize);
    const std::pair<Bytes, std::string> cases[] = {
        {erased(20), "Image not found... \n"},
        {make_record({.magic = kApp, .payload = kRecovery, .bad_crc = true}), kCrcFailed},
        {past_the_end, kCrcFailed},
        {make_record({kApp, {}}), kCrcFailed},  // shorter than its probe
    };
    for (const auto& [record, err] : cases) {
        SCOPED_TRACE(err);
        write_rescue(erased(64));
        write_rescue(record);
        const Outcome o = rescue("1\n");
        EXPECT_EQ(o.returned, 0);
        EXPECT_EQ(o.out, "");
        EXPECT_EQ(o.err, err);
        EXPECT_EQ(tarball(), Bytes{});
        EXPECT_EQ(vpd(59), 0xFF);
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
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, kQuestion + "\nInstalling recovery image as image2...\n" + sys("reboot"));
    EXPECT_EQ(o.err, "Failed to open image file.\n");
    EXPECT_EQ(vpd(1), 0xFF);

    std::filesystem::remove("/tmp/image");
    std::filesystem::remove("/tmp/kaviximage.tar.gz");
    std::filesystem::create_directory("/tmp/kaviximage.tar.gz");
    o = rescue("2\n");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, sys("reboot"));
    EXPECT_EQ(o.err, "Failed to open AppOS tarfile.\n");
}

}  // namespace
}  // namespace mp_test
