// Start-up and boot selection, driven through the whole start-up on a scratch board: the slot
// choice, the record walk, each outcome of a first and a second boot attempt, and the reset.
#include <csignal>

#include "launch/launch_steps.hpp"
#include "launch_fixture.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace launch_test {
namespace {

constexpr std::uint32_t kApp = 0x01504F4C;
constexpr std::uint32_t kBoot = 0x02504F4C;
constexpr std::uint32_t kKernel = 0x03504F4C;
constexpr std::uint32_t kDiags = 0x06504F4C;

const Bytes kPayload1 = text_bytes("slot one application tarball");
const Bytes kPayload2 = text_bytes("slot two application tarball, a little longer");

class BootTest : public LaunchTest {
protected:
    void slot(int n, const Bytes& contents) {
        write_file(n == 1 ? "/user/images/image1" : "/user/images/image2", contents);
    }
    Bytes good(int n) { return make_record({kApp, n == 1 ? kPayload1 : kPayload2}); }
    Bytes bad_crc(int n) {
        return make_record(
            {.magic = kApp, .payload = n == 1 ? kPayload1 : kPayload2, .bad_crc = true});
    }
    Outcome boot() {
        return run([]() -> int { launcher_main(); });
    }
    // Start-up up to the first boot attempt, then the launch of the booted payload.
    static std::string booted(std::string_view lines) {
        return std::string(kMount) + std::string(lines) + kUnpack + kBacktraceOut;
    }
    std::optional<Bytes> tarball() { return read_file("/tmp/kaviximage.tar.gz"); }
};

TEST_F(BootTest, SlotByteOtherThanOneOrTwoBootsSlotOne) {
    for (const std::uint8_t byte : {0x00, 0x01, 0x03, 0x80, 0xFF}) {
        set_vpd(1, byte);
        EXPECT_EQ(run_with_devices([] { return which_image(); }).returned, 1) << int{byte};
    }
    set_vpd(1, 2);
    EXPECT_EQ(run_with_devices([] { return which_image(); }).returned, 2);

    // With slot 1 missing, byte 3 falls back to slot 2 as the other slot.
    set_vpd(1, 3);
    slot(2, good(2));
    const Outcome o = boot();
    EXPECT_EQ(o.out, booted("Booting image '1'\n"));
    EXPECT_EQ(o.err,
              std::string("Failed to open Application image 1. Trying image 2.\n") + kBacktraceErr);
    EXPECT_EQ(tarball(), kPayload2);
    EXPECT_EQ(vpd(59), 1) << "the booted-slot byte names the slot asked for";
}

TEST_F(BootTest, GoodSlotBootsItsFirstApplicationOrDiagnosticsRecord) {
    set_vpd(1, 2);
    slot(2, concat({make_record({kBoot, text_bytes("u-boot")}),
                    make_record({.magic = kKernel, .payload = text_bytes("vmlinux"), .hdrlen = 28}),
                    make_record({.magic = kApp, .payload = kPayload2, .hdrlen = 24}),
                    make_record({kDiags, text_bytes("never reached")})}));
    Outcome o = boot();
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, booted("Booting image '2'\n"));
    EXPECT_EQ(o.err, kBacktraceErr);
    EXPECT_EQ(tarball(), kPayload2);
    EXPECT_EQ(vpd(59), 2);

    slot(2, concat({make_record({kKernel, text_bytes("k")}), make_record({kDiags, kPayload1})}));
    o = boot();
    EXPECT_EQ(o.out, std::string(kMount) + "Booting image '2'\n" + kUnpack +
                         "install diags image\n" + sys("mkdir -p /tmp/home/bin") +
                         sys("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip") +
                         kBacktraceOut);
    EXPECT_EQ(tarball(), kPayload1);
}

TEST_F(BootTest, BadCrcFallsBackToTheOtherSlot) {
    slot(1, bad_crc(1));
    slot(2, good(2));
    const Outcome o = boot();
    EXPECT_EQ(o.out, booted("Booting image '1'\nBooting image '2'\n"));
    EXPECT_EQ(o.err, std::string("Image1 CRC failed, trying Image2 now.\n") + kBacktraceErr);
    EXPECT_EQ(tarball(), kPayload2);
    EXPECT_EQ(vpd(59), 2);
}

TEST_F(BootTest, FileWithoutBootableRecordFallsBackToTheOtherSlot) {
    const std::string second_try = booted("Booting image '1'\nBooting image '2'\n");
    slot(2, good(2));
    struct Case {
        const char* what;
        Bytes slot1;
        const char* magic;
    };
    const Case cases[] = {
        {"only a kernel record", make_record({kKernel, kPayload1}), "0x3504f4c"},
        {"shorter than one probe", Bytes(19, 0x01), "0x0"},
        {"empty", {}, "0x0"},
        // hdrlen + len == 2^32: a record length of 0 would probe the same offset for ever.
        {"a record of length 0",
         make_record({.magic = kKernel, .payload = Bytes(8, 0), .hdrlen = 32, .len = 0xFFFFFFE0u}),
         "0x83504f4c"},
    };
    for (const Case& c : cases) {
        slot(1, c.slot1);
        const Outcome o = boot();
        EXPECT_EQ(o.out, second_try) << c.what;
        EXPECT_EQ(o.err, "Image has invalid header " + std::string(c.magic) +
                             ". (0x6504f4c)\nImage1 has invalid header... trying Image2.\n" +
                             kBacktraceErr)
            << c.what;
        EXPECT_EQ(tarball(), kPayload2) << c.what;
    }
}

TEST_F(BootTest, DamagedBootableRecordsCountAsBadCrc) {
    // Each one would read or check bytes that were never in the file.
    slot(2, good(2));
    const Bytes cases[] = {
        // 16 bytes with a right CRC, then the probe reaches 4 bytes further: no CRC range.
        concat({make_record({kApp, {}}), Bytes(4, 0)}),
        // hdrlen + len wraps to 36, over which the CRC is right: the payload would start
        // beyond the record and run for 4 GiB.
        make_record({.magic = kApp, .payload = {}, .hdrlen = 64, .len = 0xFFFFFFE4u, .stored = 36}),
        // A len the file does not hold, once huge and once just beyond its end.
        make_record({.magic = kApp, .payload = kPayload1, .len = 0xFFFFFF00u}),
        make_record({.magic = kApp,
                     .payload = kPayload1,
                     .len = static_cast<std::uint32_t>(kPayload1.size() + 1)}),
    };
    for (const Bytes& c : cases) {
        slot(1, c);
        const Outcome o = boot();
        EXPECT_EQ(o.err, std::string("Image1 CRC failed, trying Image2 now.\n") + kBacktraceErr);
        EXPECT_EQ(tarball(), kPayload2);
    }
}

TEST_F(BootTest, SecondAttemptFailuresAreFinal) {
    write_env("shell=on");
    write_rescue(make_record({kDiags, text_bytes("rescue diags")}));

    // Both CRCs bad: no rescue image, the operator's shell, reboot.
    slot(1, bad_crc(1));
    slot(2, bad_crc(2));
    Outcome o = boot();
    const std::string both_tried = std::string(kMount) + "Booting image '1'\nBooting image '2'\n";
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, both_tried + sys("/bin/sh\n") + sys("reboot"));
    EXPECT_EQ(o.err, "Image1 CRC failed, trying Image2 now.\nBoth image1 and image2 failed.\n");

    // No bootable record first, bad CRC second: the same end.
    slot(1, make_record({kKernel, kPayload1}));
    o = boot();
    EXPECT_EQ(o.out, both_tried + sys("/bin/sh\n") + sys("reboot"));
    EXPECT_EQ(o.err,
              "Image has invalid header 0x3504f4c. (0x6504f4c)\n"
              "Image1 has invalid header... trying Image2.\n"
              "Both image1 and image2 failed.\n");

    // No bootable record in the second attempt leads to the rescue image.
    slot(1, bad_crc(1));
    slot(2, make_record({kBoot, kPayload2}));
    o = boot();
    EXPECT_EQ(o.out, both_tried + "Launching diagnostics image\n" + kUnpack +
                         "install diags image\n" + sys("mkdir -p /tmp/home/bin") +
                         sys("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip") +
                         "Dropping into shell\n" + sys("/bin/sh\n") + "Dropping out of shell\n" +
                         kBacktraceOut);
    EXPECT_EQ(o.err, std::string("Image1 CRC failed, trying Image2 now.\n"
                                 "No valid application image found. Trying rescue image\n") +
                         kBacktraceErr);
    EXPECT_EQ(vpd(59), 4);
    EXPECT_EQ(tarball(), text_bytes("rescue diags"));
}

TEST_F(BootTest, NeitherSlotFileGoesToTheRescueImageFromTheFirstAttempt) {
    set_vpd(1, 2);
    Outcome o = boot();  // erased rescue partition
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, std::string(kMount) + "Booting image '2'\n" + sys("reboot"));
    EXPECT_EQ(o.err,
              "Failed to open Application image 2. Trying image 1.\n"
              "Failed to open Application image 1. Trying rescue image\n"
              "Image not found... \n");

    write_rescue(make_record({kDiags, text_bytes("rescue diags")}));
    o = boot();
    EXPECT_EQ(o.out, std::string(kMount) + "Booting image '2'\nLaunching diagnostics image\n" +
                         kUnpack + "install diags image\n" + sys("mkdir -p /tmp/home/bin") +
                         sys("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip") +
                         kBacktraceOut);
    EXPECT_EQ(vpd(59), 4);
}

TEST_F(BootTest, SlotTwoStandsInForSlotOneWithTheDebuggerFromSlotTwo) {
    write_env("gdb=on");
    slot(2, good(2));
    const Outcome o = boot();
    EXPECT_EQ(o.out, std::string(kMount) + "Booting image '1'\n" +
                         "Extracting GDB from image slot 2\n"
                         "Found GDB image 2 of length = " +
                         std::to_string(kPayload2.size()) + ".\ndecompressing GDB....\n" +
                         sys("gunzip /tmp/gdb.gz") + sys("chmod +x /tmp/gdb") + kUnpack +
                         "**** GDB mode selected but GDB not available. Please install GDB image "
                         "***\n" +
                         kBacktraceOut);
    EXPECT_EQ(vpd(59), 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), kPayload2);
}

TEST_F(BootTest, TarballThatCannotBeCreatedEndsTheBootWithoutTheOtherSlot) {
    write_env("shell=on");
    std::filesystem::create_directory("/tmp/kaviximage.tar.gz");
    slot(1, good(1));
    slot(2, good(2));
    const Outcome o = boot();
    std::filesystem::remove("/tmp/kaviximage.tar.gz");
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out,
              std::string(kMount) + "Booting image '1'\n" + sys("/bin/sh\n") + sys("reboot"));
    EXPECT_EQ(o.err, "Failed to open application image output file.\n");
    EXPECT_EQ(vpd(59), 0xFF);
}

TEST_F(BootTest, BoardResetExitsZeroWhetherOrNotTheRebootRan) {
    answer = [](std::string_view, std::string_view command) {
        note("{slept " + std::to_string(platform::sandbox::stats().slept_us) + "us}");
        return command == "reboot" ? 0 : -1;
    };
    Outcome o = run([]() -> int { board_reset(); });
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, "{system:reboot}{slept 1000000us}");
    EXPECT_EQ(o.err, "");

    answer = [](std::string_view, std::string_view) { return -1; };
    o = run([]() -> int { board_reset(); });
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.err, "System reboot failed, please power-cycle.\n");
}

TEST_F(BootTest, InterruptKeyOnlyRaisesTheFlag) {
    const Outcome o = run([] {
        sig_init();
        raise(SIGINT);
        raise(SIGINT);  // still installed after it ran
        struct sigaction now {};
        sigaction(SIGINT, nullptr, &now);
        return sig_quit_raised * 10 + ((now.sa_flags & SA_RESTART) != 0 ? 1 : 0);
    });
    EXPECT_EQ(o.returned, 10);
}

}  // namespace
}  // namespace launch_test
