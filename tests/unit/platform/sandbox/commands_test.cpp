// Commands are recorded in unit tests, run inside a board's jail and refused anywhere else.
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

}  // namespace
}  // namespace mp_test
