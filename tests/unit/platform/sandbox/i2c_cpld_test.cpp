#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "board_fixture.hpp"

namespace sandbox_test {
namespace {

using platform::dev_lseek;
using platform::dev_open;
using platform::dev_read;
using platform::dev_write;
using platform::i2c_select;
using platform::smbus_read_byte_data;
using platform::smbus_write_byte_data;

constexpr int kMux = 0x70;
constexpr int kSummit = 0x4F;
constexpr int kEeprom = 0x54;

class Bus : public Board {
protected:
    void SetUp() override {
        Board::SetUp();
        bus_ = dev_open("/dev/i2c-0", O_RDWR);
    }
    // Reloads the board with `conf` and opens bus 0 with the EEPROM's channel on.
    void open_eeprom(const std::string& conf) {
        configure(conf);
        bus_ = dev_open("/dev/i2c-0", O_RDWR);
        mux(bus_, 0x08);
        ASSERT_EQ(i2c_select(bus_, kEeprom), 0);
    }
    int bus_ = -1;
};

TEST_F(Bus, EepromAnswersOnlyBehindChannel3AndTheOpenGate) {
    struct Case {
        std::uint8_t mux;
        bool gate;
        bool answers;
    };
    for (const Case c : {Case{0x08, false, false}, Case{0x04, true, false}, Case{0x00, true, false},
                         Case{0x09, true, true}, Case{0xFF, true, true}}) {
        SCOPED_TRACE(testing::Message() << "mux " << int{c.mux} << " gate " << c.gate);
        mux(bus_, c.mux);
        gate(c.gate);
        ASSERT_EQ(i2c_select(bus_, kEeprom), 0) << "selection never probes";
        errno = 0;
        const std::int32_t got = smbus_read_byte_data(bus_, 1);
        EXPECT_EQ(got, c.answers ? 0xFF : -ENXIO);
        EXPECT_EQ(smbus_write_byte_data(bus_, 1, 0xFF) < 0, !c.answers);
    }
    EXPECT_EQ(log(), "vpd-write: offset 1 value 0xff\nvpd-write: offset 1 value 0xff\n");
}

TEST_F(Bus, EepromBytesPersistInTheirFile) {
    gate(true);
    open_eeprom("i2c.eeprom = /vpd/eeprom.bin\n");
    ASSERT_EQ(smbus_write_byte_data(bus_, 59, 4), 0);
    ASSERT_EQ(smbus_write_byte_data(bus_, 1, 2), 0);
    Bytes expected(256, 0xFF);
    expected[1] = 2;
    expected[59] = 4;
    EXPECT_EQ(get("vpd/eeprom.bin"), expected);
    EXPECT_EQ(log(), "vpd-write: offset 59 value 0x04\nvpd-write: offset 1 value 0x02\n");

    // The gate outlives the process (it is in the CPLD file); the multiplexer does not.
    open_eeprom("i2c.eeprom = /vpd/eeprom.bin\n");
    EXPECT_EQ(smbus_read_byte_data(bus_, 59), 4);
    // A plain offset write followed by a read, as a register read does it.
    const std::uint8_t offset = 1;
    std::uint8_t value = 0;
    ASSERT_EQ(dev_write(bus_, &offset, 1), 1);
    ASSERT_EQ(dev_read(bus_, &value, 1), 1);
    EXPECT_EQ(value, 2);
}

TEST_F(Bus, OtherDevicesAndTheSilentAdapter) {
    ASSERT_EQ(i2c_select(bus_, kSummit), 0);
    EXPECT_EQ(smbus_write_byte_data(bus_, 0x87, 0x55), 0) << "the set-up device needs no gate";
    EXPECT_EQ(smbus_read_byte_data(bus_, 0x87), 0x55);
    ASSERT_EQ(i2c_select(bus_, 0x20), 0);
    EXPECT_EQ(smbus_read_byte_data(bus_, 0), -ENXIO);
    EXPECT_EQ(i2c_select(bus_, 0x80), -1);
    EXPECT_EQ(errno, EINVAL);

    const int bus1 = dev_open("/dev/i2c-1", O_RDWR);
    for (const int address : {kMux, kSummit, kEeprom}) {
        ASSERT_EQ(i2c_select(bus1, address), 0);
        const std::uint8_t byte = 0x08;
        EXPECT_EQ(dev_write(bus1, &byte, 1), -1) << address;
        EXPECT_LT(smbus_write_byte_data(bus1, 0, 0), 0) << address;
    }
    // Each descriptor keeps its own selection.
    EXPECT_EQ(smbus_read_byte_data(bus_, 0), -ENXIO);

    EXPECT_EQ(i2c_select(dev_open("/dev/mtd-kernel", O_RDWR), kEeprom), -1);
    EXPECT_EQ(errno, ENOTTY);
}

TEST_F(Bus, InjectedFaults) {
    configure("fault.i2c.missing = 1\n");
    errno = 0;
    EXPECT_EQ(dev_open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_GE(dev_open("/dev/i2c-1", O_RDWR), 0);

    gate(true);
    open_eeprom("fault.i2c.nak = read\n");
    EXPECT_EQ(smbus_read_byte_data(bus_, 1), -EIO);
    EXPECT_EQ(smbus_write_byte_data(bus_, 1, 1), 0);

    open_eeprom("fault.i2c.nak = write\n");
    EXPECT_EQ(smbus_write_byte_data(bus_, 1, 0), -EIO);
    EXPECT_EQ(smbus_read_byte_data(bus_, 1), 1) << "the refused write changed the byte";

    open_eeprom("fault.i2c.nak = all\n");
    EXPECT_LT(smbus_read_byte_data(bus_, 1), 0);
    EXPECT_LT(smbus_write_byte_data(bus_, 1, 0), 0);

    EXPECT_EQ(log(),
              "fault: i2c missing\nfault: i2c nak read\nvpd-write: offset 1 value 0x01\n"
              "fault: i2c nak write\nfault: i2c nak read\nfault: i2c nak write\n");
}

class Cpld : public Board {
protected:
    void SetUp() override {
        Board::SetUp();
        fd_ = dev_open("/dev/lamel/cpld_mmmap", O_RDWR);
    }
    std::uint8_t read_reg() {
        std::uint8_t b = 0xAA;
        EXPECT_EQ(dev_read(fd_, &b, 1), 1);
        return b;
    }
    int fd_ = -1;
};

TEST_F(Cpld, ReadAndWriteKeepThePositionAndTheStatusFollowsASwitch) {
    Bytes regs(32, 0);
    regs[20] = 0x40;
    regs[24] = 0x80;
    put("dev/lamel/cpld_mmmap", regs);

    ASSERT_EQ(dev_lseek(fd_, 20, SEEK_SET), 20);
    EXPECT_EQ(read_reg(), 0x40);
    const std::uint8_t open = 0x41;
    ASSERT_EQ(dev_write(fd_, &open, 1), 1);  // lands on 20 again: the read did not move
    EXPECT_EQ(read_reg(), 0x41);
    EXPECT_EQ(get("dev/lamel/cpld_mmmap")[20], 0x41);

    ASSERT_EQ(dev_lseek(fd_, 24, SEEK_SET), 24);
    unsigned polls = 0;
    std::uint8_t status = 0;
    do {
        status = read_reg();
        ++polls;
    } while ((status & 1) == 0 && polls < 100);
    EXPECT_EQ(status, 0x81) << "the other status bits come from the register file";
    EXPECT_LT(polls, 100U);
    EXPECT_EQ(platform::sandbox::stats().cpld_status_reads, polls);
    EXPECT_EQ(dev_lseek(fd_, 0, SEEK_CUR), 24);
}

TEST_F(Cpld, StuckStatusNeverReadsOne) {
    configure("fault.cpld.stuck = 1\n");
    fd_ = dev_open("/dev/lamel/cpld_mmmap", O_RDWR);
    for (const std::uint8_t control : {1, 0}) {
        ASSERT_EQ(dev_lseek(fd_, 20, SEEK_SET), 20);
        ASSERT_EQ(dev_write(fd_, &control, 1), 1);
        ASSERT_EQ(dev_lseek(fd_, 24, SEEK_SET), 24);
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(read_reg() & 1, 0) << "read " << i;
        }
    }
    EXPECT_EQ(platform::sandbox::stats().cpld_status_reads, 100U);
    EXPECT_EQ(log(), "fault: cpld stuck\nfault: cpld stuck\n") << "one line per switch";
}

}  // namespace
}  // namespace sandbox_test
