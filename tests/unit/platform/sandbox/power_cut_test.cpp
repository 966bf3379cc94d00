// Power cuts at a chosen flash operation: what the interrupted operation leaves on the chip, and
// that nothing of the board runs on after the cut.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "board_fixture.hpp"
#include "jail/jail.hpp"

namespace sandbox_test {
namespace {

using platform::dev_open;
using platform::dev_pwrite;
using platform::mtd_memerase;

std::string last_line(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::string last;
    while (std::getline(in, line)) {
        last = line;
    }
    return last;
}

// Runs body in a child process and returns how the child ended.
template <typename Body>
int in_child(Body body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        body();
        ::_exit(0);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

bool killed(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

class PowerCut : public Board {};

// Outside a board's jail only the process that hit the cut dies (a unit test must not signal
// anything else); what reached the flash is the part of the operation given in percent.
TEST_F(PowerCut, AWriteIsCutPartWayThroughAndNothingFollows) {
    configure("mtd.erase_size = 4096\npower.cut_after_writes = 3\npower.cut_partial = 25\n");
    fs::create_directories(dir_ / "var/log");
    const int status = in_child([&] {
        const int fd = dev_open("/dev/mtd-kernel", O_RDWR);
        const Bytes zeros(1024, 0x00);
        for (int i = 0; i < 4; ++i) {
            dev_pwrite(fd, zeros.data(), zeros.size(), static_cast<off_t>(i) * 1024);
            std::ofstream(dir_ / "var/log/board.log", std::ios::app) << "test: after write\n";
        }
    });
    EXPECT_TRUE(killed(status)) << "wait status " << status;
    const Bytes kernel = get("dev/mtd-kernel");
    for (std::size_t i = 0; i < kernel.size(); ++i) {
        ASSERT_EQ(kernel[i], i < 2048 + 256 ? 0x00 : 0xFF) << "byte " << i;
    }
    const std::string text = log();
    EXPECT_EQ(last_line(text),
              "power: cut at op 3: write kernel sector 0 offset 2048 length 1024, 25% done");
    EXPECT_EQ(text.find("still running"), std::string::npos);
    // Two writes returned before the cut, the third never did.
    EXPECT_NE(text.find("test: after write\ntest: after write\npower: cut"), std::string::npos);
    EXPECT_EQ(text.find("test: after write\ntest: after write\ntest"), std::string::npos);
}

TEST_F(PowerCut, AnEraseIsCutPartWayThroughItsBlock) {
    put("dev/mtd-rfs", Bytes(4 * kBlock, 0x00));
    configure("mtd.erase_size = 4096\npower.cut_after_writes = 2\npower.cut_partial = 50\n");
    const int status = in_child([] {
        const int fd = dev_open("/dev/mtd-rfs", O_RDWR);
        mtd_memerase(fd, 0, kBlock);
        mtd_memerase(fd, kBlock, 2 * kBlock);
    });
    EXPECT_TRUE(killed(status)) << "wait status " << status;
    const Bytes rfs = get("dev/mtd-rfs");
    for (std::size_t i = 0; i < rfs.size(); ++i) {
        ASSERT_EQ(rfs[i], i < kBlock + kBlock / 2 ? 0xFF : 0x00) << "byte " << i;
    }
    EXPECT_EQ(last_line(log()),
              "power: cut at op 2: erase rfs sector 1 offset 4096 length 4096, "
              "50% done");
}

TEST_F(PowerCut, BadPowerKeysAreLoggedAndCutNothing) {
    configure("mtd.erase_size = 4096\npower.cut_after_writes = -1\npower.cut_partial = 101\n");
    const int fd = dev_open("/dev/mtd-kernel", O_RDWR);
    const std::uint8_t zero = 0;
    EXPECT_EQ(dev_pwrite(fd, &zero, 1, 0), 1);
    EXPECT_NE(log().find("config: line 2: bad value for power.cut_after_writes: -1"),
              std::string::npos);
    EXPECT_NE(log().find("config: line 3: bad value for power.cut_partial: 101"),
              std::string::npos);
}

// In a board's jail the cut takes every process of the board with it: a second process that
// keeps counting in a file stops counting, and no line follows the cut in the board log.
TEST_F(PowerCut, TheWholeBoardStopsAtTheCut) {
    configure("mtd.erase_size = 4096\npower.cut_after_writes = 2\npower.cut_partial = 0\n");
    fs::create_directories(dir_ / "var/log");
    put("var/counter", Bytes(8, 0));
    const platform::sandbox::JailResult jail = platform::sandbox::enter_jail(dir_.string());
    if (jail.side == platform::sandbox::JailResult::Side::inside) {
        platform::sandbox::set_root("/");
        platform::sandbox::reload();
        const pid_t counter = ::fork();
        if (counter == 0) {
            const int fd = ::open("/var/counter", O_WRONLY);
            for (std::uint64_t n = 1;; ++n) {
                std::uint8_t b[8];
                for (int i = 0; i < 8; ++i) {
                    b[i] = static_cast<std::uint8_t>(n >> (8 * i));
                }
                static_cast<void>(::pwrite(fd, b, 8, 0));
                ::usleep(500);
            }
        }
        // Wait until the counter runs, so that the cut has something to stop.
        for (int i = 0; i < 2000; ++i) {
            std::ifstream in("/var/counter", std::ios::binary);
            if (in.get() != 0) {
                break;
            }
            ::usleep(1000);
        }
        const int fd = dev_open("/dev/mtd-kernel", O_RDWR);
        const Bytes zeros(1024, 0x00);
        dev_pwrite(fd, zeros.data(), zeros.size(), 0);
        dev_pwrite(fd, zeros.data(), zeros.size(), 1024);
        std::ofstream("/var/log/board.log", std::ios::app) << "test: the program ran on\n";
        ::_exit(0);
    }
    ASSERT_EQ(jail.side, platform::sandbox::JailResult::Side::outside) << jail.error;
    EXPECT_TRUE(killed(jail.wait_status)) << "wait status " << jail.wait_status;
    const Bytes before = get("var/counter");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(get("var/counter"), before) << "a process of the board ran on after the cut";
    EXPECT_NE(before, Bytes(8, 0)) << "the counting process never ran";
    const std::string text = log();
    EXPECT_EQ(last_line(text),
              "power: cut at op 2: write kernel sector 0 offset 1024 length 1024, 0% done");
    EXPECT_EQ(text.find("ran on"), std::string::npos);
    EXPECT_EQ(text.find("still running"), std::string::npos);
    const Bytes kernel = get("dev/mtd-kernel");
    EXPECT_EQ(kernel[1023], 0x00);
    EXPECT_EQ(kernel[1024], 0xFF);
}

}  // namespace
}  // namespace sandbox_test
