// The application launch: the exact command line of every start mode, the operator's shell and
// the diagnostics move before it, and the debugger taken from the other slot.
#include "i2c/i2c_testing.hpp"
#include "launch/launch_steps.hpp"
#include "launch_fixture.hpp"

namespace launch_test {
namespace {

constexpr std::uint32_t kApp = 0x01504F4C;
constexpr std::uint32_t kBoot = 0x02504F4C;
constexpr std::uint32_t kDiags = 0x06504F4C;

class AppLaunchTest : public LaunchTest {
protected:
    Outcome launch(std::uint8_t is_diags = 0) {
        return run_with_devices([is_diags]() -> int { launch_image(is_diags); });
    }
};

TEST_F(AppLaunchTest, EachModeRunsItsOwnCommandLine) {
    struct Case {
        const char* what;
        std::int32_t gdb, gdbserver, port;
        std::uint8_t memchk;
        bool gdb_file;
        std::string start, err;
    };
    const std::string missing =
        "**** GDB mode selected but GDB not available. Please install GDB image ***\n";
    const Case cases[] = {
        {"ordinary", 0, 0, 1234, 0, false, kBacktraceOut, kBacktraceErr},
        {"remote, memory check", 1, 1, 4000, 1, true,
         sys("LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :4000 /tmp/home/bin/mp.elf.strip\n") +
             sys("reboot"),
         ""},
        {"remote", 1, 1, 1234, 0, true,
         sys("/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\n") + sys("reboot"), ""},
        {"debugger", 1, 0, 1234, 1, true,
         "*** Launching under GDB ***\n" + sys("/tmp/gdb /tmp/home/bin/mp.elf.strip") +
             sys("reboot"),
         ""},
        {"debugger missing", 1, 0, 1234, 1, false, missing + kBacktraceOut, kBacktraceErr},
        {"memory check", 0, 0, 1234, 1, true,
         sys("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n") + sys("reboot"), ""},
    };
    for (const Case& c : cases) {
        gdb_enable = c.gdb;
        gdbserver_enable = c.gdbserver;
        gdbport = c.port;
        memchk_enable = c.memchk;
        std::filesystem::remove("/tmp/gdb");
        if (c.gdb_file) {
            write_file("/tmp/gdb", text_bytes("debugger"));
        }
        const Outcome o = launch();
        EXPECT_EQ(o.exit_status, 0) << c.what;
        EXPECT_EQ(o.out, kUnpack + c.start) << c.what;
        EXPECT_EQ(o.err, c.err) << c.what;
    }
}

TEST_F(AppLaunchTest, BusesAreClosedAndTheShellComesBeforeTheStart) {
    shell_enable = 1;
    answer = [](std::string_view kind, std::string_view) {
        if (kind == "exec") {
            note("{bus 0 descriptor " + std::to_string(i2c_bus_descriptor(0)) + "}");
        }
        return 0;
    };
    const Outcome o = launch(1);
    EXPECT_EQ(o.out, std::string(kUnpack) + "install diags image\n" +
                         sys("mkdir -p /tmp/home/bin") +
                         sys("mv /tmp/mpdiag.elf.strip /tmp/home/bin/mp.elf.strip") +
                         "Dropping into shell\n" + sys("/bin/sh\n") + "Dropping out of shell\n" +
                         exec("/bin/backtrace") + "{bus 0 descriptor 0}" + sys("reboot"));
}

TEST_F(AppLaunchTest, NoShellForTheUnpackingMeansReset) {
    answer = [](std::string_view, std::string_view command) {
        return command.starts_with("cd /tmp") ? -1 : 0;
    };
    const Outcome o = launch();
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, std::string(kUnpack) + sys("reboot"));
    EXPECT_EQ(o.err, "Failed to gunzip Application OS.\n");
}

TEST_F(AppLaunchTest, DebuggerComesFromTheFirstRecordOfTheOtherSlot) {
    const Bytes gdb1 = text_bytes("debugger packed in slot one");
    const Bytes gdb2 = text_bytes("debugger packed in slot two");
    write_file("/user/images/image1", make_record({.magic = kApp, .payload = gdb1, .hdrlen = 24}));
    write_file("/user/images/image2",
               concat({make_record({kDiags, gdb2}), make_record({kApp, text_bytes("second")})}));
    const std::string unpack = sys("gunzip /tmp/gdb.gz") + sys("chmod +x /tmp/gdb");

    Outcome o = run([] { return extract_gdb(1); });
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(o.out,
              "Extracting GDB from image slot 2\nFound GDB image 2 of length = 27.\n"
              "decompressing GDB....\n" +
                  unpack);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), gdb2);

    o = run([] { return extract_gdb(2); });
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), gdb1) << "payload after the extended header";

    // A slot file that ends early: only the bytes that exist are copied.
    Bytes cut = make_record({kApp, gdb1});
    cut.resize(cut.size() - 7);
    write_file("/user/images/image2", cut);
    o = run([] { return extract_gdb(1); });
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), Bytes(gdb1.begin(), gdb1.end() - 7));
}

TEST_F(AppLaunchTest, DebuggerFailuresLeaveNoDebugger) {
    write_file("/user/images/image1", make_record({kBoot, text_bytes("u-boot")}));
    Outcome o = run([] { return extract_gdb(2); });
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out, "Extracting GDB from image slot 1\n");
    EXPECT_EQ(o.err, "Image has invalid header 0x2504f4c\n");

    o = run([] { return extract_gdb(1); });
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.err, "Failed to open GDB image (from slot 2)\n");

    std::filesystem::remove("/tmp/gdb.gz");
    std::filesystem::create_directory("/tmp/gdb.gz");
    o = run([] { return extract_gdb(2); });
    std::filesystem::remove("/tmp/gdb.gz");
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.err, "Failed to open GDB output file.\n");

    o = run([] { return extract_gdb(3); });
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out + o.err, "");
}

}  // namespace
}  // namespace launch_test
