#include <sys/statfs.h>
#include <sys/wait.h>

#include <cerrno>

#include "board_fixture.hpp"

namespace sandbox_test {
namespace {

TEST_F(Board, CommandsAreRecordedRunInsideABoardAndRefusedElsewhere) {
    std::string calls;
    platform::sandbox::set_recorder([&](std::string_view kind, std::string_view command) {
        calls.append(kind).append(":").append(command).append(";");
        return 256;
    });
    EXPECT_EQ(platform::run_system("touch ran\necho two"), 256);
    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(errno, ENOEXEC);
    EXPECT_EQ(calls, "system:touch ran\necho two;exec:/bin/backtrace;");
    EXPECT_EQ(log(), "system: touch ran\\necho two\nexec: /bin/backtrace\n");
    platform::sandbox::set_recorder(nullptr);
    fs::remove(dir_ / "var/log/board.log");

    // The test jail has the board's marker; /etc/board.conf makes it a board (without a shell).
    struct statfs st {};
    if (::statfs("/run/mpboard-jail", &st) != 0 || fs::exists("/etc/board.conf")) {
        GTEST_SKIP() << "needs the test jail";
    }
    auto err = capture(STDERR_FILENO);
    EXPECT_EQ(platform::run_system("exit 3"), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(platform::run_exec("/nonexistent/probe"), -1);
    EXPECT_EQ(errno, EPERM) << "a refused exec returns; one that ran would fail ENOENT";
    EXPECT_EQ(err.text(),
              "sandbox: refusing to run 'exit 3': not inside a sandbox board\n"
              "sandbox: refusing to run '/nonexistent/probe': not inside a sandbox board\n");
    EXPECT_FALSE(fs::exists(dir_ / "var/log/board.log"));
    fs::create_directories("/etc");
    std::ofstream("/etc/board.conf") << "clock.scale = 0\n";
    platform::sandbox::set_root("/");
    platform::sandbox::reload();
    const int status = platform::run_system("exit 3");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) % 124 == 3) << status;  // 3 or 127
    std::ifstream in("/var/log/board.log");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "system: exit 3\n");
    fs::remove("/etc/board.conf");
    fs::remove("/var/log/board.log");

    // Without a board root the devices are absent, and nothing of the host is reached.
    platform::sandbox::reload();
    auto absent = capture(STDERR_FILENO);
    for (const char* path : {"/dev/i2c-0", "/dev/mtd-kernel", "/dev/null", "/dev/mtd-../x"}) {
        EXPECT_EQ(platform::dev_open(path, O_RDWR), -1) << path;
        EXPECT_EQ(errno, ENOENT);
    }
    EXPECT_NE(absent.text(), "") << "a refusal must be said";
}

TEST_F(Board, ClockScaleAndConfigurationLines) {
    configure("clock.scale = 0\n");
    EXPECT_EQ(platform::clock_sleep(3600), 0U) << "at scale 1 this would not end";
    EXPECT_EQ(platform::clock_usleep(10000), 0);
    EXPECT_EQ(platform::sandbox::stats().slept_us, 3600ULL * 1000000 + 10000);
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
    EXPECT_EQ(platform::sandbox::stats().slept_us, 1000ULL);
    const int fd = platform::dev_open("/dev/mtd-kernel", O_RDWR);
    platform::MtdInfo info{};
    ASSERT_EQ(platform::mtd_meminfo(fd, &info), 0);
    EXPECT_EQ(info.erasesize, 8192U);
    EXPECT_EQ(platform::mtd_memerase(fd, 0, 8192), 0) << "the erase fault must not be set";
    EXPECT_EQ(log(),
              "config: line 4: bad value for mtd.erase_size: 0x1000\n"
              "config: line 5: bad value for clock.scale: -1\n"
              "config: line 6: bad value for fault.mtd.erase: boot:1\n"
              "config: line 7: bad value for i2c.eeprom: ../outside.bin\n"
              "config: line 8: expected key = value: no equals sign\n"
              "config: line 9: unknown key mtd.colour\n");
}

}  // namespace
}  // namespace sandbox_test
