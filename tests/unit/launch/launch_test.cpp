// Launch paths the board's system tests cannot reach: parser edges, lying lengths, failing files.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <filesystem>

#include "launch/launch_steps.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr std::uint32_t kApp = 0x01504F4C, kKernel = 0x03504F4C, kDiags = 0x06504F4C;
const std::string kUnpack =
    sys("cd /tmp \ntar mxzf /tmp/kaviximage.tar.gz \nrm /tmp/kaviximage.tar.gz\n");
const std::string kMount = sys("/bin/mount -o sync -t jffs2 /dev/mtd-user /user");
const Bytes kPay = text_bytes("slot two application tarball");

void fresh(const char* dir) {
    fs::remove_all("/tmp");
    fs::create_directories("/tmp");
    fs::create_directories(dir);
}

using LaunchTest = BoardTest;

// gdb gdbserver gdbport shell memchk rescue diags, after the boot loader's NUL-separated text;
// then verify and bootlimit, whole variables anywhere before the list's end, the last deciding.
TEST_F(LaunchTest, BootSettings) {
    const std::string filler = "x=" + std::string(1280 - 3 - 8, 'y') + '\0';  // 1272 bytes
    const std::pair<std::string, const char*> cases[] = {
        {"bootcmd=run boot\0gdb=on\0gdbserver=off\0shell=On\0memchk=online\0diagnostics=diags\0"
         "gdbport=-2147483648x"s,
         "1 0 -2147483648 0 1 0 1 0 0"},
        {"gdbserver=on\0shell=one\0diagnostics=rescue\0gdbport=abc"s, "1 1 1234 1 0 1 0 0 0"},
        // First occurrence anywhere decides; an empty value runs into the next; 1280 bytes seen.
        {"gdbport=99999999999\0xgdb=on\0bootargs=console=ttyS0 shell=on\0shell=off\0memchk=off\0"
         "memchk=on"s,
         "1 0 1234 1 0 0 0 0 0"},
        {"gdbport=\0"
         "7 more"s,
         "0 0 7 0 0 0 0 0 0"},
        {filler + "shell=on", "0 0 1234 1 0 0 0 0 0"},
        {filler + "zshell=on", "0 0 1234 0 0 0 0 0 0"},
        {"noverify=on\0xbootlimit=4\0bootlimit=3\0a=b verify=on"s, "0 0 1234 0 0 0 0 0 3"},
        {filler + "verify=off\0bootlimit=2\0verify=on\0bootlimit="s, "0 0 1234 0 0 0 0 1 0"},
        {"verify=on\0\0bootlimit=5"s, "0 0 1234 0 0 0 0 1 0"},
    };
    for (const auto& [env, flags] : cases) {
        write_env(env);
        EXPECT_EQ(run_with_devices([] {
                      const BootSettings s = parse_uboot_env();
                      std::printf("%d %d %d %d %d %d %d %d %d", s.gdb_enable, s.gdbserver_enable,
                                  s.gdbport, s.shell_enable, s.memchk_enable, s.rescue_enable,
                                  s.standalone_diags, s.verify_enable, s.boot_limit);
                      return 0;
                  }).out,
                  flags)
            << env;
    }
}

// Slot 1's lengths cannot be trusted: slot 2 boots. The last row ends the boot at once. On the
// board the I2C descriptors are not close-on-exec: the application must not find them open.
TEST_F(LaunchTest, BootFallbacks) {
    const std::string crc = "Image1 CRC failed, trying Image2 now.\n";
    answer = [this](std::string_view kind, std::string_view) {
        for (const char* bus : {"dev/i2c-0", "dev/i2c-1"}) {
            struct stat file {
            }, open{};
            for (int fd = 3; kind == "exec" && fd < 256; ++fd) {
                if (::stat(board_file(bus).c_str(), &file) == 0 && ::fstat(fd, &open) == 0 &&
                    file.st_ino == open.st_ino && file.st_dev == open.st_dev) {
                    std::printf("{%s open at the start}", bus);
                }
            }
        }
        return 0;
    };
    const std::pair<Bytes, std::string> cases[] = {
        // hdrlen + len == 2^32: a record length of 0 would probe the same offset for ever.
        {make_record({.magic = kKernel, .payload = Bytes(8, 0), .hdrlen = 32, .len = 0xFFFFFFE0u}),
         "Image has invalid header 0x83504f4c. (0x6504f4c)\nImage1 has invalid header... trying "
         "Image2.\n"},
        {concat({make_record({kApp, {}}), Bytes(4, 0)}), crc},
        {make_record(
             {.magic = kApp, .payload = {}, .hdrlen = 64, .len = 0xFFFFFFE4u, .stored = 36}),
         crc},
        {make_record({.magic = kApp, .payload = kPay, .len = 0xFFFFFF00u}), crc},
        {make_record({kApp, kPay}), "Failed to open application image output file.\n"},
    };
    for (const auto& [slot1, err] : cases) {
        SCOPED_TRACE(err);
        const bool booted = &slot1 != &cases[std::size(cases) - 1].first;
        fresh(booted ? "/tmp" : "/tmp/kaviximage.tar.gz");
        write_file("/user/images/image1", slot1);
        write_file("/user/images/image2", make_record({kApp, kPay}));
        write_file(board_file("var/vpd.bin"), erased(256));
        write_env(booted ? "" : "shell=on");
        const Outcome o = run([]() -> int { launcher_main(); });
        EXPECT_EQ(o.out, kMount + "Booting image '1'\n" +
                             (booted ? "Booting image '2'\n" + kUnpack + exec("/bin/backtrace")
                                     : sys("/bin/sh\n")) +
                             sys("reboot"));
        EXPECT_EQ(o.err, err + (booted ? "Failed to start Application OS.\n" : ""));
        EXPECT_EQ(vpd(59), booted ? 2 : 0xFF);
        EXPECT_EQ(o.exit_status, 0);
        if (booted) {
            EXPECT_EQ(read_file("/tmp/kaviximage.tar.gz"), kPay);
        }
    }
}

// The debugger: the payload of the other slot's first record, once its CRC holds.
TEST_F(LaunchTest, Debugger) {
    const Bytes gdb = pattern(40000, 5);  // copied in 16 KiB pieces
    Bytes cut = make_record({kApp, gdb});
    cut.resize(cut.size() - 7);
    const struct {
        int slot;
        std::optional<Bytes> other;
        std::optional<Bytes> archive;
        std::string err = "";
    } cases[] = {
        {1, concat({make_record({kDiags, gdb}), make_record({kApp, kPay})}), gdb},
        {2, make_record({.magic = kApp, .payload = gdb, .hdrlen = 24}), gdb},
        {1, cut, std::nullopt, "GDB image 2 CRC failed, not using it.\n"},
        {1, std::nullopt, std::nullopt, "Failed to open GDB image (from slot 2)\n"},
        {2, Bytes{}, std::nullopt, "Failed to open GDB output file.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        fs::remove_all("/user/images");
        fresh(c.other && c.other->empty() ? "/tmp/gdb.gz" : "/user/images");
        fs::create_directories("/user/images");
        if (c.other) {
            write_file("/user/images/image" + std::to_string(3 - c.slot), *c.other);
        }
        const Outcome o = run([&] { return extract_gdb({}, c.slot); });
        EXPECT_EQ(o.returned, c.archive ? 1 : 0);
        EXPECT_EQ(o.err, c.err);
        if (c.archive) {
            EXPECT_EQ(read_file("/tmp/gdb.gz"), c.archive);
            EXPECT_NE(o.out.find(sys("gunzip /tmp/gdb.gz") + sys("chmod +x /tmp/gdb")), o.out.npos);
        }
    }
}

// The rescue record: damaged ones boot nothing; files that cannot be made reset the board.
TEST_F(LaunchTest, RescueImage) {
    // Runs 4 bytes past the partition; with those zero its CRC would be right.
    Bytes payload(kPartitionSize + 4 - 16, 0x33);
    std::fill(payload.end() - 4, payload.end(), 0);
    Bytes past_the_end = make_record({kDiags, payload});
    past_the_end.resize(kPartitionSize);
    const std::string crc = "Image CRC failed. Quitting\n";
    const struct {
        Bytes record;
        std::string err;
        const char* dir = "/tmp";  // made where a file should go
        std::string out = "";
    } cases[] = {
        {past_the_end, crc},
        {make_record({kApp, {}}), crc},  // shorter than its probe
        {make_record({kApp, kPay}), "Failed to open image file.\n", "/tmp/image",
         "Install recovery image as image 1 or 2 (hit return to just boot image): \nInstalling "
         "recovery image as image2...\n" +
             sys("reboot")},
        {make_record({kApp, kPay}), "Failed to open AppOS tarfile.\n", "/tmp/kaviximage.tar.gz",
         sys("reboot")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        fresh(c.dir);
        Bytes part = c.record;
        part.resize(kPartitionSize, 0xFF);
        write_file(part_path("rescue"), part);
        const Outcome o = run_with_devices([] { return extract_image_from_flash({}); }, "2\n");
        EXPECT_EQ(o.returned, c.out.empty() ? std::optional(0) : std::nullopt);
        EXPECT_EQ(o.out, c.out);
        EXPECT_EQ(o.err, c.err);
        EXPECT_EQ(vpd(59), 0xFF);
        EXPECT_EQ(vpd(1), 0xFF);
    }
    // A full /tmp (one page, which the tarball takes) or a failed copy into the slot: one line,
    // no slot file, neither VPD byte; the recovery application boots from its tarball.
    Bytes part = make_record({kApp, Bytes(3000, 0x44)});
    part.resize(kPartitionSize, 0xFF);
    write_file(part_path("rescue"), part);
    for (const bool full : {true, false}) {
        fresh("/tmp");
        answer = [full](std::string_view, std::string_view command) {
            return !full && command.starts_with("cp ") ? 1 : 0;
        };
        const Outcome o = run_with_devices(
            [full] {
                if (full && (::unshare(CLONE_NEWNS) != 0 ||
                             ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                             ::mount("tmpfs", "/tmp", "tmpfs", 0, "size=4k") != 0)) {
                    return -1;
                }
                return extract_image_from_flash({});
            },
            "2\n");
        EXPECT_TRUE(o.err.starts_with("Failed to install recovery image as image2.\n")) << o.err;
        EXPECT_NE(o.out.find(kUnpack), std::string::npos) << o.out;
        EXPECT_EQ(read_file("/user/images/image2"), std::nullopt);
        EXPECT_EQ(vpd(1) & vpd(59), 0xFF);
    }
    fresh("/tmp");  // only 7 characters of the answer are read
    answer = [](std::string_view kind, std::string_view) {
        char rest[32] = {};
        std::printf("{unread:%s}",
                    kind == "exec" && std::fgets(rest, sizeof rest, stdin) ? rest : "");
        return 0;
    };
    EXPECT_NE(run_with_devices([] { return extract_image_from_flash({}); }, "1abcdefgh\n")
                  .out.find("{unread:gh\n}"),
              std::string::npos);
}

}  // namespace
}  // namespace mp_test
