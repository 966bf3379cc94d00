// The MTD emulator: programming, erase, geometry, injected faults and power cuts. Each case runs
// its operations on dev/mtd-kernel (filled with a pattern) in a child process, which a power
// cut kills; the test then compares the partition with what each operation should have left.
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>

#include "board_fixture.hpp"

namespace sandbox_test {
namespace {

constexpr ssize_t kCut = -9;  // the power fails during this operation
constexpr std::uint32_t kAll = ~0u;

struct Op {
    char kind;  // 'w' pwrite of `value` bytes, 'e' MEMERASE, 'r' pread, 'i' MEMGETINFO
    std::uint32_t at, len;
    ssize_t ret;  // 'i': the erase size reported; size must be `at`
    int err = 0;
    std::uint32_t reached = kAll;  // bytes that reach the chip: all when it succeeds
    std::uint8_t value = 0x0F;
};

struct Case {
    const char* conf;
    std::vector<Op> ops;
    std::string log;
    int flags = O_RDWR | O_SYNC;
};

// The child's exit status: 0, or 1 + the index of the first operation that went otherwise.
int run(const Case& c, const Bytes& start) {
    const int fd = platform::dev_open("/dev/mtd-kernel", c.flags);
    for (std::size_t i = 0; i < c.ops.size(); ++i) {
        const Op& op = c.ops[i];
        Bytes buf(op.len, op.value);
        platform::MtdInfo info{};
        errno = 0;
        ssize_t got = -1;
        if (op.kind == 'w') {
            got = platform::dev_pwrite(fd, buf.data(), op.len, op.at);
        } else if (op.kind == 'e') {
            got = platform::mtd_memerase(fd, op.at, op.len);
        } else if (op.kind == 'r') {
            got = platform::dev_pread(fd, buf.data(), op.len, op.at);
            got = got > 0 && !std::equal(buf.begin(), buf.begin() + got, start.begin() + op.at)
                      ? -2
                      : got;
        } else if (platform::mtd_meminfo(fd, &info) == 0) {
            got = info.size == op.at ? info.erasesize : -2;
        }
        if (got != op.ret || (got == -1 && errno != op.err)) {
            return 1 + static_cast<int>(i);
        }
    }
    return 0;
}

class Mtd : public Board {};

TEST_F(Mtd, OperationsLeaveWhatTheChipWould) {
    const std::uint32_t end = 4 * kBlock;
    const Case cases[] = {
        {"",
         {{'w', 10, 2, 2, 0, kAll, 0xF0},
          {'w', 11, 2, 2},  // programming only clears bits
          {'r', end - 16, 64, 16},
          {'r', end, 64, 0},
          {'w', end - 16, 64, -1, ENOSPC},
          {'w', end, 1, -1, ENOSPC},
          {'e', 1, kBlock, -1, EINVAL},
          {'e', 0, kBlock + 1, -1, EINVAL},
          {'e', kBlock, end, -1, EINVAL},
          {'e', end, kBlock, -1, EINVAL},
          {'e', kBlock, 2 * kBlock, 0},
          {'i', end, 0, kBlock}},
         ""},
        {"mtd.strict = 1\nmtd.erase_size = 8192 # last one counts\n",
         {{'w', 10, 2, -1, EIO, 0, 0xF0}, {'w', 10, 2, 2, 0, kAll, 0x00}, {'i', end, 0, 8192}},
         ""},
        {"", {{'e', 0, kBlock, -1, EPERM}, {'w', 0, 1, -1, EBADF}}, "", O_RDONLY},
        {"fault.mtd.meminfo = 1\n", {{'i', 0, 0, -1, EIO}}, "fault: mtd meminfo kernel\n"},
        {"fault.mtd.size0 = 1\n", {{'i', 0, 0, kBlock}}, "fault: mtd size0 kernel\n"},
        {"fault.mtd.erase = kernel:2\nfault.mtd.write = kernel:1\nfault.mtd.read = kernel:3\n",
         {{'e', 0, end, -1, EIO, 2 * kBlock},
          {'w', kBlock - 4, 8, -1, EIO},
          {'w', kBlock - 8, 8, 8},
          {'r', 3 * kBlock - 8, 8, 8},
          {'r', 3 * kBlock - 4, 8, -1, EIO}},
         "fault: mtd erase kernel sector 2\nfault: mtd write kernel sector 1\n"
         "fault: mtd read kernel sector 3\n"},
        // Failed operations count too; the cut part of a write is programmed, of an erase blank.
        {"power.cut_after_writes = 3\npower.cut_partial = 25\nfault.mtd.write = kernel:3\n",
         {{'e', 0, kBlock, 0},
          {'w', 3 * kBlock, 8, -1, EIO},
          {'w', 1024, 1024, kCut, 0, 256},
          {'w', 0, 8, 8}},
         "fault: mtd write kernel sector 3\n"
         "power: cut at op 3: write kernel sector 0 offset 1024 length 1024, 25% done\n"},
        {"power.cut_after_writes = 2\npower.cut_partial = 50\n",
         {{'w', 0, 8, 8}, {'e', kBlock, 2 * kBlock, kCut, 0, kBlock / 2}},
         "power: cut at op 2: erase kernel sector 1 offset 4096 length 4096, 50% done\n"},
        {"power.cut_after_writes = -1\npower.cut_partial = 101\n",
         {{'w', 0, 8, 8}},
         "config: line 2: bad value for power.cut_after_writes: -1\n"
         "config: line 3: bad value for power.cut_partial: 101\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        fs::remove(dir_ / "var/log/board.log");
        configure(std::string("mtd.erase_size = 4096\n") + c.conf);
        const Bytes start = pattern(end, 1);
        put("dev/mtd-kernel", start);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::_exit(run(c, start));
        }
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        Bytes want = start;
        bool cut = false;
        for (const Op& op : c.ops) {
            const std::uint32_t n =
                std::min(op.reached == kAll ? (op.ret < 0 ? 0 : op.len) : op.reached,
                         end - std::min(end, op.at));
            for (std::uint32_t i = op.at; !cut && i < op.at + n && op.kind != 'r' && op.kind != 'i';
                 ++i) {
                want[i] = op.kind == 'e' ? 0xFF : want[i] & op.value;
            }
            cut = cut || op.ret == kCut;
        }
        EXPECT_EQ(status, cut ? SIGKILL : 0) << "0x100 * (1 + the operation that went wrong)";
        EXPECT_EQ(get("dev/mtd-kernel"), want);
        EXPECT_EQ(log(), c.log);
    }
}

TEST_F(Mtd, AbsentFlash) {
    configure("fault.mtd.absent = 1\n");
    EXPECT_EQ(platform::dev_open("/dev/mtd-uboot", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(log(), "fault: mtd absent uboot\n");
}

}  // namespace
}  // namespace sandbox_test
