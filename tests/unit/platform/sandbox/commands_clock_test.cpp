#include <fcntl.h>
#include <sys/wait.h>

#include <cerrno>
#include <filesystem>

#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

namespace sandbox = platform::sandbox;

class Board : public BoardTest {
protected:
    // `step` in a child that records no command, with the board root at `root`.
    Outcome unrecorded(const std::string& root, int (*step)()) {
        return run([&] {
            sandbox::set_recorder(nullptr);
            sandbox::set_root(root);
            sandbox::reload();
            return step();
        });
    }
};

TEST_F(Board, CommandsAreRecordedRunInsideABoardAndRefusedElsewhere) {
    answer = [](std::string_view, std::string_view) { return 256; };
    Outcome o = run([] {
        return platform::run_system("touch ran\necho two") +
               (platform::run_exec("/bin/backtrace") == -1 && errno == ENOEXEC);
    });
    EXPECT_EQ(o.returned, 257);
    EXPECT_EQ(o.out, "{system:touch ran\necho two}{exec:/bin/backtrace}");
    EXPECT_EQ(log(), "system: touch ran\\necho two\nexec: /bin/backtrace\n");
    std::filesystem::remove(board_file("var/log/board.log"));

    // The test jail has the board's marker; /etc/board.conf makes it a board (without a shell).
    o = unrecorded(dir_, [] {
        return (platform::run_system("exit 3") == -1 && errno == EPERM) +
               (platform::run_exec("/nonexistent/probe") == -1 && errno == EPERM);
    });
    EXPECT_EQ(o.returned, 2) << "a refused exec returns; one that ran would fail ENOENT";
    EXPECT_EQ(o.err,
              "sandbox: refusing to run 'exit 3': not inside a sandbox board\n"
              "sandbox: refusing to run '/nonexistent/probe': not inside a sandbox board\n");
    EXPECT_EQ(log(), "");
    std::filesystem::create_directories("/etc");
    write_file("/etc/board.conf", text_bytes("clock.scale = 0\n"));
    o = unrecorded("/", [] { return platform::run_system("exit 3"); });
    std::filesystem::remove("/etc/board.conf");
    const int status = o.returned.value_or(-1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) % 124 == 3) << status;  // 3 or 127
    EXPECT_EQ(read_file("/var/log/board.log"), text_bytes("system: exit 3\n"));
    std::filesystem::remove("/var/log/board.log");

    // Without a board root the devices are absent, and nothing of the host is reached.
    o = unrecorded("/", [] {
        int absent = 0;
        for (const char* path : {"/dev/i2c-0", "/dev/mtd-kernel", "/dev/null", "/dev/mtd-../x"}) {
            absent += platform::dev_open(path, O_RDWR) == -1 && errno == ENOENT;
        }
        return absent;
    });
    EXPECT_EQ(o.returned, 4);
    EXPECT_NE(o.err, "") << "a refusal must be said";
}

TEST_F(Board, ClockScaleAndConfigurationLines) {
    configure("");
    EXPECT_EQ(platform::clock_sleep(3600), 0U) << "at scale 1 this would not end";
    EXPECT_EQ(platform::clock_usleep(10000), 0);
    EXPECT_EQ(sandbox::stats().slept_us, 3600ULL * 1000000 + 10000);
    configure(
        "# a board\n\n"
        "  mtd.erase_size = 8192   # two blocks\n"
        "mtd.erase_size = 0x1000\n"
        "clock.scale = -1\n"
        "fault.mtd.erase = boot:1\n"
        "i2c.eeprom = ../outside.bin\n"
        "no equals sign\n"
        "mtd.colour = blue\n"
        "clock.scale = 0.000001\n");
    EXPECT_EQ(platform::clock_usleep(1000), 0);
    EXPECT_EQ(sandbox::stats().slept_us, 1000ULL);
    const int fd = platform::dev_open("/dev/mtd-kernel", O_RDWR);
    platform::MtdInfo info{};
    ASSERT_EQ(platform::mtd_meminfo(fd, &info), 0);
    EXPECT_EQ(info.erasesize, 8192U);
    EXPECT_EQ(platform::mtd_memerase(fd, 0, 8192), 0) << "the erase fault must not be set";
    EXPECT_EQ(log(),
              "config: line 6: bad value for mtd.erase_size: 0x1000\n"
              "config: line 7: bad value for clock.scale: -1\n"
              "config: line 8: bad value for fault.mtd.erase: boot:1\n"
              "config: line 9: bad value for i2c.eeprom: ../outside.bin\n"
              "config: line 10: expected key = value: no equals sign\n"
              "config: line 11: unknown key mtd.colour\n");
}

}  // namespace
}  // namespace mp_test
