// Start-up and boot selection through the whole start-up on a scratch board: the slot choice,
// the record walk, each outcome of a first and a second boot attempt, and the reset.
#include <csignal>
#include <filesystem>

#include "launch_test.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace mp_test {
namespace {

const Bytes kPayload1 = text_bytes("slot one application tarball");
const Bytes kPayload2 = text_bytes("slot two application tarball, a little longer");
const Bytes kGood1 = make_record({kApp, kPayload1});
const Bytes kGood2 = make_record({kApp, kPayload2});
const Bytes kBad1 = make_record({.magic = kApp, .payload = kPayload1, .bad_crc = true});
const Bytes kBad2 = make_record({.magic = kApp, .payload = kPayload2, .bad_crc = true});
const Bytes kRescueDiags =
    make_record({.magic = kDiags, .payload = text_bytes("rescue diags"), .hdrlen = 32});

const std::string kB1 = "Booting image '1'\n";
const std::string kB2 = "Booting image '2'\n";
const std::string kCrc1 = "Image1 CRC failed, trying Image2 now.\n";
const std::string kBoth = "Both image1 and image2 failed.\n";
const std::string kRescueLaunch = "Launching diagnostics image\n" + kUnpack + kDiagsMove;

std::string invalid1(const char* magic) {
    return "Image has invalid header " + std::string(magic) +
           ". (0x6504f4c)\nImage1 has invalid header... trying Image2.\n";
}

struct BootCase {
    const char* what;
    std::optional<Bytes> slot1, slot2;
    const char* env;
    std::string out, err;
    std::optional<Bytes> tarball;
    std::uint8_t slot_byte;
    bool rescue;  // the diagnostics record in the rescue partition
    std::uint8_t booted;
};

// Slot 1 unusable, slot 2 booted in the second attempt; slot byte 0 means slot 1.
BootCase fallback(const char* what, Bytes slot1, const std::string& first_err) {
    return {what,
            std::move(slot1),
            kGood2,
            "",
            kMount + kB1 + kB2 + kUnpack + kBacktraceOut,
            first_err + kBacktraceErr,
            kPayload2,
            0,
            false,
            2};
}

class BootTest : public LaunchTest {
protected:
    Outcome boot() {
        return run([]() -> int { launcher_main(); });
    }
};

TEST_F(BootTest, EveryOutcomeOfTheFirstAndSecondAttempt) {
    const BootCase cases[] = {
        {"byte 3, slot 1 missing: slot 2 stands in", std::nullopt, kGood2, "",
         kMount + kB1 + kUnpack + kBacktraceOut,
         "Failed to open Application image 1. Trying image 2.\n" + kBacktraceErr, kPayload2, 3,
         false, 1},
        {"records before the application record", std::nullopt,
         concat({make_record({kBoot, text_bytes("u-boot")}),
                 make_record({.magic = kKernel, .payload = text_bytes("vmlinux"), .hdrlen = 28}),
                 make_record({.magic = kApp, .payload = kPayload2, .hdrlen = 24}),
                 make_record({kDiags, text_bytes("never reached")})}),
         "", kMount + kB2 + kUnpack + kBacktraceOut, kBacktraceErr, kPayload2, 2, false, 2},
        {"diagnostics record", std::nullopt,
         concat({make_record({kKernel, text_bytes("k")}), make_record({kDiags, kPayload1})}), "",
         kMount + kB2 + kUnpack + kDiagsMove + kBacktraceOut, kBacktraceErr, kPayload1, 2, false,
         2},
        fallback("bad CRC", kBad1, kCrc1),
        fallback("only a kernel record", make_record({kKernel, kPayload1}), invalid1("0x3504f4c")),
        fallback("shorter than one probe", Bytes(19, 0x01), invalid1("0x0")),
        fallback("empty", Bytes{}, invalid1("0x0")),
        // hdrlen + len == 2^32: a record length of 0 would probe the same offset for ever.
        fallback("a record of length 0",
                 make_record(
                     {.magic = kKernel, .payload = Bytes(8, 0), .hdrlen = 32, .len = 0xFFFFFFE0u}),
                 invalid1("0x83504f4c")),
        // Damaged bootable records would read or check bytes that were never in the file.
        fallback("16 good bytes, then a probe 4 bytes further",
                 concat({make_record({kApp, {}}), Bytes(4, 0)}), kCrc1),
        fallback(
            "hdrlen + len wraps to 36, over which the CRC is right",
            make_record(
                {.magic = kApp, .payload = {}, .hdrlen = 64, .len = 0xFFFFFFE4u, .stored = 36}),
            kCrc1),
        fallback("huge len", make_record({.magic = kApp, .payload = kPayload1, .len = 0xFFFFFF00u}),
                 kCrc1),
        fallback("len one beyond the file",
                 make_record({.magic = kApp,
                              .payload = kPayload1,
                              .len = static_cast<std::uint32_t>(kPayload1.size() + 1)}),
                 kCrc1),
        {"both CRCs bad: the operator's shell, no rescue image", kBad1, kBad2, "shell=on",
         kMount + kB1 + kB2 + sys("/bin/sh\n") + sys("reboot"), kCrc1 + kBoth, std::nullopt, 0xFF,
         true, 0xFF},
        {"no bootable record, then a bad CRC", make_record({kKernel, kPayload1}), kBad2, "shell=on",
         kMount + kB1 + kB2 + sys("/bin/sh\n") + sys("reboot"), invalid1("0x3504f4c") + kBoth,
         std::nullopt, 0xFF, true, 0xFF},
        {"no bootable record in the second attempt", kBad1, make_record({kBoot, kPayload2}),
         "shell=on", kMount + kB1 + kB2 + kRescueLaunch + kShell + kBacktraceOut,
         kCrc1 + "No valid application image found. Trying rescue image\n" + kBacktraceErr,
         text_bytes("rescue diags"), 0xFF, true, 4},
        {"neither slot file, rescue partition erased", std::nullopt, std::nullopt, "",
         kMount + kB2 + sys("reboot"),
         "Failed to open Application image 2. Trying image 1.\n"
         "Failed to open Application image 1. Trying rescue image\nImage not found... \n",
         std::nullopt, 2, false, 0xFF},
        {"neither slot file, rescue image", std::nullopt, std::nullopt, "",
         kMount + kB2 + kRescueLaunch + kBacktraceOut,
         "Failed to open Application image 2. Trying image 1.\n"
         "Failed to open Application image 1. Trying rescue image\n" +
             kBacktraceErr,
         text_bytes("rescue diags"), 2, true, 4},
        {"debugger from the slot that stands in", std::nullopt, kGood2, "gdb=on",
         kMount + kB1 + "Extracting GDB from image slot 2\nFound GDB image 2 of length = " +
             std::to_string(kPayload2.size()) + ".\ndecompressing GDB....\n" +
             sys("gunzip /tmp/gdb.gz") + sys("chmod +x /tmp/gdb") + kUnpack +
             "**** GDB mode selected but GDB not available. Please install GDB image ***\n" +
             kBacktraceOut,
         "Failed to open Application image 1. Trying image 2.\n" + kBacktraceErr, kPayload2, 0xFF,
         false, 1},
    };
    for (const BootCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all("/tmp");
        std::filesystem::create_directory("/tmp");
        for (const auto& [path, contents] : {std::pair{"/user/images/image1", c.slot1},
                                             std::pair{"/user/images/image2", c.slot2}}) {
            std::filesystem::remove(path);
            if (contents) {
                write_file(path, *contents);
            }
        }
        write_file(board_file("var/vpd.bin"), erased(256));
        set_vpd(1, c.slot_byte);
        write_env(c.env);
        write_rescue(c.rescue ? kRescueDiags : erased(64));
        const Outcome o = boot();
        EXPECT_EQ(o.exit_status, 0);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        if (c.tarball) {
            EXPECT_EQ(tarball(), c.tarball);
        }
        EXPECT_EQ(vpd(59), c.booted);
        EXPECT_EQ(vpd(1), c.slot_byte);
        if (std::string_view(c.env) == "gdb=on") {
            EXPECT_EQ(read_file("/tmp/gdb.gz"), kPayload2);
        }
    }
}

TEST_F(BootTest, TarballThatCannotBeCreatedEndsTheBootWithoutTheOtherSlot) {
    write_env("shell=on");
    std::filesystem::create_directory("/tmp/kaviximage.tar.gz");
    write_file("/user/images/image1", kGood1);
    write_file("/user/images/image2", kGood2);
    const Outcome o = boot();
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, kMount + kB1 + sys("/bin/sh\n") + sys("reboot"));
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
}  // namespace mp_test
