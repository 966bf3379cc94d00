// The application launch: the exact command line of every start mode, the operator's shell and
// the diagnostics move before it, and the debugger taken from the other slot.
#include <filesystem>

#include "i2c/i2c_testing.hpp"
#include "launch_test.hpp"

namespace mp_test {
namespace {

const std::string kNoGdb =
    "**** GDB mode selected but GDB not available. Please install GDB image ***\n";

class AppLaunchTest : public LaunchTest {
protected:
    Outcome launch(std::uint8_t is_diags = 0) {
        return run_with_devices([is_diags]() -> int { launch_image(is_diags); });
    }
    Outcome gdb(int slot) {
        return run([slot] { return extract_gdb(slot); });
    }
};

TEST_F(AppLaunchTest, EachModeRunsItsOwnCommandLine) {
    struct Case {
        std::int32_t gdb, gdbserver, port;
        std::uint8_t memchk;
        bool gdb_file;
        std::string start, err;
    };
    const Case cases[] = {
        {0, 0, 1234, 0, false, kBacktraceOut, kBacktraceErr},
        {1, 1, 4000, 1, true,
         sys("LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :4000 /tmp/home/bin/mp.elf.strip\n") +
             sys("reboot"),
         ""},
        {1, 1, 1234, 0, true,
         sys("/bin/gdbserver :1234 /tmp/home/bin/mp.elf.strip\n") + sys("reboot"), ""},
        {1, 0, 1234, 1, true,
         "*** Launching under GDB ***\n" + sys("/tmp/gdb /tmp/home/bin/mp.elf.strip") +
             sys("reboot"),
         ""},
        {1, 0, 1234, 1, false, kNoGdb + kBacktraceOut, kBacktraceErr},
        {0, 0, 1234, 1, true,
         sys("LD_PRELOAD=libduma.so.0.0.0 /tmp/home/bin/mp.elf.strip\n") + sys("reboot"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        gdb_enable = c.gdb;
        gdbserver_enable = c.gdbserver;
        gdbport = c.port;
        memchk_enable = c.memchk;
        std::filesystem::remove("/tmp/gdb");
        if (c.gdb_file) {
            write_file("/tmp/gdb", text_bytes("debugger"));
        }
        const Outcome o = launch();
        EXPECT_EQ(o.exit_status, 0);
        EXPECT_EQ(o.out, kUnpack + c.start);
        EXPECT_EQ(o.err, c.err);
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
    EXPECT_EQ(launch(1).out, kUnpack + kDiagsMove + kShell + exec("/bin/backtrace") +
                                 "{bus 0 descriptor 0}" + sys("reboot"));
}

TEST_F(AppLaunchTest, NoShellForTheUnpackingMeansReset) {
    answer = [](std::string_view, std::string_view command) {
        return command.starts_with("cd /tmp") ? -1 : 0;
    };
    const Outcome o = launch();
    EXPECT_EQ(o.exit_status, 0);
    EXPECT_EQ(o.out, kUnpack + sys("reboot"));
    EXPECT_EQ(o.err, "Failed to gunzip Application OS.\n");
}

TEST_F(AppLaunchTest, DebuggerComesFromTheFirstRecordOfTheOtherSlot) {
    const Bytes gdb1 = text_bytes("debugger packed in slot one");
    const Bytes gdb2 = text_bytes("debugger packed in slot two");
    write_file("/user/images/image1", make_record({.magic = kApp, .payload = gdb1, .hdrlen = 24}));
    write_file("/user/images/image2",
               concat({make_record({kDiags, gdb2}), make_record({kApp, text_bytes("second")})}));
    Outcome o = gdb(1);
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(o.out,
              "Extracting GDB from image slot 2\nFound GDB image 2 of length = 27.\n"
              "decompressing GDB....\n" +
                  sys("gunzip /tmp/gdb.gz") + sys("chmod +x /tmp/gdb"));
    EXPECT_EQ(read_file("/tmp/gdb.gz"), gdb2);

    EXPECT_EQ(gdb(2).returned, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), gdb1) << "payload after the extended header";

    // A slot file that ends early: only the bytes that exist are copied.
    Bytes cut = make_record({kApp, gdb1});
    cut.resize(cut.size() - 7);
    write_file("/user/images/image2", cut);
    EXPECT_EQ(gdb(1).returned, 1);
    EXPECT_EQ(read_file("/tmp/gdb.gz"), Bytes(gdb1.begin(), gdb1.end() - 7));
}

TEST_F(AppLaunchTest, DebuggerFailuresLeaveNoDebugger) {
    write_file("/user/images/image1", make_record({kBoot, text_bytes("u-boot")}));
    Outcome o = gdb(2);
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out, "Extracting GDB from image slot 1\n");
    EXPECT_EQ(o.err, "Image has invalid header 0x2504f4c\n");

    o = gdb(1);
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.err, "Failed to open GDB image (from slot 2)\n");

    std::filesystem::remove("/tmp/gdb.gz");
    std::filesystem::create_directory("/tmp/gdb.gz");
    o = gdb(2);
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.err, "Failed to open GDB output file.\n");

    o = gdb(3);
    EXPECT_EQ(o.returned, 0);
    EXPECT_EQ(o.out + o.err, "");
}

}  // namespace
}  // namespace mp_test
