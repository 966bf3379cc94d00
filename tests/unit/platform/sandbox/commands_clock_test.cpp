#include <fcntl.h>
#include <sys/wait.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "board_fixture.hpp"

namespace sandbox_test {
namespace {

TEST_F(Board, RecordingModeRecordsAndAnswersWithoutRunning) {
    std::vector<std::pair<std::string, std::string>> calls;
    platform::sandbox::set_recorder([&](std::string_view kind, std::string_view command) {
        calls.emplace_back(kind, command);
        return 256;
    });
    const std::string touch = "touch " + (dir_ / "ran").string();
    EXPECT_EQ(platform::run_system((touch + "\necho two").c_str()), 256);
    errno = 0;
    EXPECT_EQ(platform::run_exec("/bin/backtrace"), -1);
    EXPECT_EQ(errno, ENOEXEC);
    EXPECT_FALSE(exists("ran"));
    EXPECT_EQ(calls,
              (decltype(calls){{"system", touch + "\necho two"}, {"exec", "/bin/backtrace"}}));
    EXPECT_EQ(log(), "system: " + touch + "\\necho two\nexec: /bin/backtrace\n");
}

TEST_F(Board, CommandsAndDevicesAreRefusedOutsideABoard) {
    if (inside_board()) {
        GTEST_SKIP() << "this process runs inside a board's jail";
    }
    const std::string touch = "touch " + (dir_ / "ran").string();
    auto err = capture(STDERR_FILENO);
    errno = 0;
    EXPECT_EQ(platform::run_system(touch.c_str()), -1);
    EXPECT_EQ(errno, EPERM);
    // A refused exec returns; one that ran would fail with ENOENT instead.
    errno = 0;
    EXPECT_EQ(platform::run_exec("/nonexistent/sandbox-probe"), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(err.text(), "sandbox: refusing to run '" + touch +
                              "': not inside a sandbox board\nsandbox: refusing to run "
                              "'/nonexistent/sandbox-probe': not inside a sandbox board\n");
    EXPECT_FALSE(exists("ran"));
    EXPECT_FALSE(exists("var/log/board.log"));

    // Without a board root the board's devices are absent, and a board's own device names
    // never lead out of it.
    platform::sandbox::set_root("/");
    platform::sandbox::reload();
    auto err2 = capture(STDERR_FILENO);
    errno = 0;
    EXPECT_EQ(platform::dev_open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(platform::dev_open("/dev/mtd-kernel", O_RDWR), -1);
    EXPECT_NE(err2.text(), "") << "a refusal must be said";
    configure("");
    EXPECT_EQ(platform::dev_open("/dev/mtd-../etc/board.conf", O_RDWR), -1);
    EXPECT_EQ(platform::dev_open("/dev/null", O_RDWR), -1);
}

// The test binary's own jail carries the board marker; with an /etc/board.conf it is a board,
// and commands are run (there is no shell in it: status 127) and logged instead of refused.
TEST_F(Board, CommandsRunInsideABoard) {
    constexpr long kTmpfsMagic = 0x01021994;
    struct statfs st {};
    if (::statfs("/run/mpboard-jail", &st) != 0 || static_cast<long>(st.f_type) != kTmpfsMagic ||
        fs::exists("/etc/board.conf")) {
        GTEST_SKIP() << "needs the test jail (not MP_TEST_NO_JAIL)";
    }
    fs::create_directories("/etc");
    std::ofstream("/etc/board.conf") << "clock.scale = 0\n";
    platform::sandbox::set_root("/");
    platform::sandbox::reload();
    const int status = platform::run_system("exit 3");
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 3 || WEXITSTATUS(status) == 127))
        << "status " << status << " errno " << errno;
    std::ifstream in("/var/log/board.log");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "system: exit 3\n");
    fs::remove("/etc/board.conf");
    fs::remove("/var/log/board.log");
}

TEST_F(Board, ClockScalesEveryPauseAndCountsTheRequest) {
    configure("clock.scale = 0\n");
    // At scale 0 an hour's pause returns at once; at scale 1 this test would not end.
    EXPECT_EQ(platform::clock_sleep(3600), 0U);
    EXPECT_EQ(platform::clock_usleep(10000), 0);
    EXPECT_EQ(platform::sandbox::stats().slept_us, 3600ULL * 1000000 + 10000);
    configure("clock.scale = 0.000001\n");
    EXPECT_EQ(platform::clock_usleep(1000), 0);
    EXPECT_EQ(platform::sandbox::stats().slept_us, 1000ULL);
}

TEST_F(Board, BadConfigurationLinesAreLoggedAndIgnored) {
    configure(
        "# a board\n\n"
        "  mtd.erase_size = 8192   # two blocks\n"
        "mtd.erase_size = 0x1000\n"
        "clock.scale = -1\n"
        "fault.mtd.erase = boot:1\n"
        "i2c.eeprom = ../outside.bin\n"
        "no equals sign\n"
        "mtd.colour = blue\n");
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
