// The MTD emulator: programming, erase, geometry, injected faults and power cuts. Each case runs
// its operations on dev/mtd-kernel (filled with a pattern) in a child, which a power cut kills;
// the test then compares the partition with what each operation should have left.
#include <fcntl.h>

#include <cerrno>
#include <filesystem>

#include "platform/platform.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

constexpr ssize_t kCut = -9;  // the power fails during this operation
constexpr std::uint32_t kAll = ~0u, kEnd = 4 * kSector;

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
    std::vector<Op> ops;  // none: the open fails with ENOENT
    std::string log;
    int flags = O_RDWR | O_SYNC;
};

// 0, or 1 + the index of the first operation that went otherwise.
int apply(const Case& c, const Bytes& start) {
    const int fd = platform::dev_open("/dev/mtd-kernel", c.flags);
    if (c.ops.empty()) {
        return fd == -1 && errno == ENOENT ? 0 : 1;
    }
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

class Mtd : public BoardTest {};

TEST_F(Mtd, OperationsLeaveWhatTheChipWould) {
    // Programming only clears bits; failed operations count for a power cut too; the cut part of
    // a write is programmed, of an erase blank.
    // clang-format off
    const Case cases[] = {
        {"", {{'w', 10, 2, 2, 0, kAll, 0xF0}, {'w', 11, 2, 2}, {'r', kEnd - 16, 64, 16},
              {'r', kEnd, 64, 0}, {'w', kEnd - 16, 64, -1, ENOSPC}, {'w', kEnd, 1, -1, ENOSPC},
              {'e', 1, kSector, -1, EINVAL}, {'e', 0, kSector + 1, -1, EINVAL},
              {'e', kSector, kEnd, -1, EINVAL}, {'e', kEnd, kSector, -1, EINVAL},
              {'e', kSector, 2 * kSector, 0}, {'i', kEnd, 0, kSector}}, ""},
        {"mtd.strict = 1\nmtd.erase_size = 8192 # last one counts\n",
         {{'w', 10, 2, -1, EIO, 0, 0xF0}, {'w', 10, 2, 2, 0, kAll, 0}, {'i', kEnd, 0, 8192}}, ""},
        {"", {{'e', 0, kSector, -1, EPERM}, {'w', 0, 1, -1, EBADF}}, "", O_RDONLY},
        {"fault.mtd.absent = 1\n", {}, "fault: mtd absent kernel\n"},
        {"fault.mtd.meminfo = 1\n", {{'i', 0, 0, -1, EIO}}, "fault: mtd meminfo kernel\n"},
        {"fault.mtd.size0 = 1\n", {{'i', 0, 0, kSector}}, "fault: mtd size0 kernel\n"},
        {"fault.mtd.erase = kernel:2\nfault.mtd.write = kernel:1\nfault.mtd.read = kernel:3\n",
         {{'e', 0, kEnd, -1, EIO, 2 * kSector}, {'w', kSector - 4, 8, -1, EIO},
          {'w', kSector - 8, 8, 8}, {'r', 3 * kSector - 8, 8, 8},
          {'r', 3 * kSector - 4, 8, -1, EIO}},
         "fault: mtd erase kernel sector 2\nfault: mtd write kernel sector 1\n"
         "fault: mtd read kernel sector 3\n"},
        {"power.cut_after_writes = 3\npower.cut_partial = 25\nfault.mtd.write = kernel:3\n",
         {{'e', 0, kSector, 0}, {'w', 3 * kSector, 8, -1, EIO}, {'w', 1024, 1024, kCut, 0, 256},
          {'w', 0, 8, 8}},
         "fault: mtd write kernel sector 3\n"
         "power: cut at op 3: write kernel sector 0 offset 1024 length 1024, 25% done\n"},
        {"power.cut_after_writes = 2\npower.cut_partial = 50\n",
         {{'w', 0, 8, 8}, {'e', kSector, 2 * kSector, kCut, 0, kSector / 2}},
         "power: cut at op 2: erase kernel sector 1 offset 4096 length 4096, 50% done\n"},
        // Lines that set nothing: the erase fault must not be set.
        {"# a board\n\n  mtd.erase_size = 8192   # two blocks\nmtd.erase_size = 0x1000\n"
         "clock.scale = -1\nfault.mtd.erase = boot:1\ni2c.eeprom = ../outside.bin\n"
         "no equals sign\nmtd.colour = blue\npower.cut_after_writes = -1\n"
         "power.cut_partial = 101\n",
         {{'i', kEnd, 0, 8192}, {'e', 0, 8192, 0}, {'w', 0, 8, 8}},
         "config: line 6: bad value for mtd.erase_size: 0x1000\n"
         "config: line 7: bad value for clock.scale: -1\n"
         "config: line 8: bad value for fault.mtd.erase: boot:1\n"
         "config: line 9: bad value for i2c.eeprom: ../outside.bin\n"
         "config: line 10: expected key = value: no equals sign\n"
         "config: line 11: unknown key mtd.colour\n"
         "config: line 12: bad value for power.cut_after_writes: -1\n"
         "config: line 13: bad value for power.cut_partial: 101\n"}};
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        std::filesystem::remove(board_file("var/log/board.log"));
        board_conf(c.conf);
        const Bytes start = pattern(kEnd, 1);
        put("dev/mtd-kernel", start);
        const Outcome o = run([&] { return apply(c, start); });
        Bytes want = start;
        bool cut = false;
        for (const Op& op : c.ops) {
            const std::uint32_t n =
                std::min(op.reached == kAll ? (op.ret < 0 ? 0 : op.len) : op.reached,
                         kEnd - std::min(kEnd, op.at));
            for (std::uint32_t i = op.at; !cut && i < op.at + n && op.kind != 'r' && op.kind != 'i';
                 ++i) {
                want[i] = op.kind == 'e' ? 0xFF : want[i] & op.value;
            }
            cut = cut || op.ret == kCut;
        }
        EXPECT_EQ(o.returned, cut ? std::nullopt : std::optional<int>(0))
            << "1 + the operation that went wrong";
        EXPECT_EQ(get("dev/mtd-kernel"), want);
        EXPECT_EQ(log(), c.log);
    }
}

}  // namespace
}  // namespace mp_test
