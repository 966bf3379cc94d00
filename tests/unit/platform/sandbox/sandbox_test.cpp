// The sandbox board's emulators and commands. Each MTD row runs its operations on
// dev/mtd-kernel in a child (a power cut kills it) and compares the partition with what the chip
// would hold; the I2C rows run in place.
#include <fcntl.h>

#include <cerrno>
#include <filesystem>

#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

using namespace platform;
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
    int flags = O_RDWR | O_SYNC | O_CLOEXEC;  // as the flash layer opens a partition
};

// 0, or 1 + the index of the first operation that went otherwise.
int apply(const Case& c, const Bytes& start) {
    const int fd = dev_open("/dev/mtd-kernel", c.flags);
    if (c.ops.empty()) {
        return fd == -1 && errno == ENOENT ? 0 : 1;
    }
    for (std::size_t i = 0; i < c.ops.size(); ++i) {
        const Op& op = c.ops[i];
        Bytes buf(op.len, op.value);
        MtdInfo info{};
        errno = 0;
        ssize_t got = -1;
        if (op.kind == 'w') {
            got = dev_pwrite(fd, buf.data(), op.len, op.at);
        } else if (op.kind == 'e') {
            got = mtd_memerase(fd, op.at, op.len);
        } else if (op.kind == 'r') {
            got = dev_pread(fd, buf.data(), op.len, op.at);
            got = got > 0 && !std::equal(buf.begin(), buf.begin() + got, start.begin() + op.at)
                      ? -2
                      : got;
        } else if (mtd_meminfo(fd, &info) == 0) {
            got = info.size == op.at ? info.erasesize : -2;
        }
        if (got != op.ret || (got == -1 && errno != op.err)) {
            return 1 + static_cast<int>(i);
        }
    }
    return 0;
}

using Mtd = BoardTest;

// Programming only clears bits; failed operations count for a power cut too; the cut part of a
// write is programmed, of an erase blank.
TEST_F(Mtd, OperationsLeaveWhatTheChipWould) {
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
         "i2c.eeprom = var/\nno equals sign\nmtd.colour = blue\npower.cut_after_writes = -1\n"
         "power.cut_partial = 101\nfault.mtd.absent = 0\nfault.mtd.meminfo = on\n",
         {{'i', kEnd, 0, 8192}, {'e', 0, 8192, 0}, {'w', 0, 8, 8}},
         "config: line 6: bad value for mtd.erase_size: 0x1000\n"
         "config: line 7: bad value for clock.scale: -1\n"
         "config: line 8: bad value for fault.mtd.erase: boot:1\n"
         "config: line 9: bad value for i2c.eeprom: ../outside.bin\n"
         "config: line 10: bad value for i2c.eeprom: var/\n"
         "config: line 11: expected key = value: no equals sign\n"
         "config: line 12: unknown key mtd.colour\n"
         "config: line 13: bad value for power.cut_after_writes: -1\n"
         "config: line 14: bad value for power.cut_partial: 101\n"
         "config: line 16: bad value for fault.mtd.meminfo: on\n"}};
    // clang-format on
    for (const Case& c : cases) {
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
        EXPECT_EQ(o.returned, cut ? std::nullopt : std::optional<int>(0)) << c.conf;
        EXPECT_EQ(get("dev/mtd-kernel"), want) << c.conf;
        EXPECT_EQ(log(), c.log);
    }
}

using Bus = BoardTest;

// The EEPROM at 0x54 answers only behind channel 3 of the multiplexer and the open CPLD gate;
// the set-up device at 0x4F needs no gate.
TEST_F(Bus, DevicesAnswerBehindTheirPath) {
    // clang-format off
    const struct {
        const char* conf;
        std::uint8_t mux;
        bool gate;
        int address, reg, value, want;  // value -1: a read
    } cases[] = {
        {"nak = read", 0x08, true, 0x54, 1, 0, 0},     {"nak = read", 0x08, true, 0x54, 1, -1, -EIO},
        {"nak = write", 0x08, true, 0x54, 1, 0, -EIO}, {"nak = write", 0x08, true, 0x54, 1, -1, 0},
        {"nak = all", 0x08, true, 0x54, 1, 0, -EIO},   {"nak = all", 0x08, true, 0x54, 1, -1, -EIO},
        {"", 0x08, false, 0x54, 59, 0x08, -ENXIO},     {"", 0x04, true, 0x54, 59, 0x04, -ENXIO},
        {"", 0xFF, true, 0x54, 59, 0xFF, 0},           {"", 0x09, true, 0x54, 59, 0x09, 0},
        {"", 0, false, 0x4F, 0x87, 0x55, 0},           {"", 0x08, true, 0x20, 0, -1, -ENXIO},
        {"", 0x08, true, 0x54, 59, -1, 0x09}};
    // clang-format on
    for (const auto& c : cases) {
        configure("i2c.eeprom = /vpd/eeprom.bin\n" +
                  (c.conf[0] ? "fault.i2c." + std::string(c.conf) + "\n" : ""));
        gate(c.gate);
        const int bus = dev_open("/dev/i2c-0", O_RDWR);
        ASSERT_TRUE(i2c_select(bus, 0x70) == 0 && dev_write(bus, &c.mux, 1) == 1);
        ASSERT_EQ(i2c_select(bus, c.address), 0) << "selection never probes";
        EXPECT_EQ(c.value < 0 ? smbus_read_byte_data(bus, c.reg)
                              : smbus_write_byte_data(bus, c.reg, c.value),
                  c.want)
            << c.conf << " " << c.address << " " << int{c.mux};
    }
    Bytes vpd = erased(256);
    vpd[59] = 0x09;
    vpd[1] = 0;
    EXPECT_EQ(get("vpd/eeprom.bin"), vpd) << "created erased, written at its offsets";
    configure("fault.i2c.missing = 1\n");
    EXPECT_TRUE(dev_open("/dev/i2c-0", O_RDWR) == -1 && errno == ENOENT);
    EXPECT_GE(dev_open("/dev/i2c-1", O_RDWR), 0);
    configure("fault.cpld.stuck = 1\n");  // the status never says done; logged once per switch
    const int cpld = dev_open("/dev/lamel/cpld_mmmap", O_RDWR);
    for (std::uint8_t reg : {24, 24, 20, 24}) {
        EXPECT_TRUE(dev_lseek(cpld, reg, SEEK_SET) == reg &&
                    (reg == 20 ? dev_write(cpld, &reg, 1) : dev_read(cpld, &reg, 1)) == 1 &&
                    reg != 1);
    }
    EXPECT_EQ(log(),
              "vpd-write: offset 1 value 0x00\nfault: i2c nak read\nfault: i2c nak write\n"
              "fault: i2c nak write\nfault: i2c nak read\nvpd-write: offset 59 value 0xff\n"
              "vpd-write: offset 59 value 0x09\nfault: i2c missing\nfault: cpld stuck\n"
              "fault: cpld stuck\n");
}

using Board = BoardTest;

// Commands are recorded in a test, refused outside a board (the test jail has the board's
// marker but no /etc/board.conf); without a board root no device of the host is reached.
TEST_F(Board, CommandsAreRecordedOrRefusedAndDevicesAbsent) {
    answer = [](std::string_view, std::string_view) { return 256; };
    Outcome o = run([] {
        const int status = run_system("touch ran\necho two");  // the system first, then the exec
        return status + (run_exec("/bin/backtrace") == -1 && errno == ENOEXEC);
    });
    EXPECT_EQ(o.returned, 257);
    EXPECT_EQ(o.out, "{system:touch ran\necho two}{exec:/bin/backtrace}");
    EXPECT_EQ(log(), "system: touch ran\\necho two\nexec: /bin/backtrace\n");
    std::filesystem::remove(board_file("var/log/board.log"));
    for (const std::string& root : {dir_, std::string("/")}) {
        o = run([&] {
            sandbox::set_recorder(nullptr);
            sandbox::set_root(root);
            sandbox::reload();
            int refused = 0;
            for (const char* path :
                 {"/dev/i2c-0", "/dev/mtd-kernel", "/dev/null", "/dev/mtd-../x"}) {
                refused += root == "/" && dev_open(path, O_RDWR) == -1 && errno == ENOENT;
            }
            refused += run_system("exit 3") == -1 && errno == EPERM;
            return refused + (run_exec("/nonexistent/probe") == -1 && errno == EPERM);
        });
        EXPECT_EQ(o.returned, root == "/" ? 6 : 2) << "a refused exec returns, one that ran fails";
        EXPECT_EQ(
            o.err,
            (root == "/" ? "sandbox: no board: devices are absent outside a sandbox board\n" : "") +
                std::string("sandbox: refusing to run 'exit 3': not inside a sandbox "
                            "board\nsandbox: refusing to run '/nonexistent/probe': "
                            "not inside a sandbox board\n"));
    }
    EXPECT_EQ(log(), "");
}

}  // namespace
}  // namespace mp_test
