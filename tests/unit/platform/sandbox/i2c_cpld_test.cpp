// The emulated I2C buses and CPLD registers, used in place on the board.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

using platform::i2c_select;
using platform::smbus_read_byte_data;
using platform::smbus_write_byte_data;

class Bus : public BoardTest {
protected:
    // Bus 0 with the multiplexer's control byte (one bit per channel) set.
    int open_bus(const std::string& conf, std::uint8_t mux) {
        configure(conf);
        const int bus = platform::dev_open("/dev/i2c-0", O_RDWR);
        EXPECT_EQ(i2c_select(bus, 0x70), 0);
        EXPECT_EQ(platform::dev_write(bus, &mux, 1), 1);
        return bus;
    }
};

// The EEPROM at 0x54 answers only behind channel 3 of the multiplexer and the open CPLD gate.
TEST_F(Bus, EepromBehindTheMuxAndTheGate) {
    const struct {
        std::uint8_t mux;
        bool gate, answers;
    } cases[] = {{0x08, false, false}, {0x04, true, false}, {0xFF, true, true}, {0x09, true, true}};
    for (const auto& c : cases) {
        const int bus = open_bus("i2c.eeprom = /vpd/eeprom.bin\n", c.mux);
        gate(c.gate);
        ASSERT_EQ(i2c_select(bus, 0x54), 0) << "selection never probes";
        EXPECT_EQ(smbus_write_byte_data(bus, 59, c.mux), c.answers ? 0 : -ENXIO) << int{c.mux};
        EXPECT_EQ(smbus_read_byte_data(bus, 59), c.answers ? c.mux : -ENXIO);
    }
    Bytes vpd = erased(256);
    vpd[59] = 0x09;
    EXPECT_EQ(get("vpd/eeprom.bin"), vpd) << "created erased, written at its offset";
    // A plain offset write, then a plain read from there.
    const int bus = open_bus("i2c.eeprom = /vpd/eeprom.bin\n", 0x08);
    ASSERT_EQ(i2c_select(bus, 0x54), 0);
    const std::uint8_t at[] = {58, 0x42};
    std::uint8_t got[2] = {};
    ASSERT_EQ(platform::dev_write(bus, at, 2), 2);
    ASSERT_EQ(platform::dev_write(bus, at, 1), 1);
    ASSERT_EQ(platform::dev_read(bus, got, 2), 2);
    EXPECT_EQ(got[0] * 256 + got[1], 0x4209);
    EXPECT_EQ(log(),
              "vpd-write: offset 59 value 0xff\nvpd-write: offset 59 value 0x09\n"
              "vpd-write: offset 58 value 0x42\n");
}

TEST_F(Bus, OtherAddressesAdaptersAndFaults) {
    int bus = open_bus("", 0);
    ASSERT_EQ(i2c_select(bus, 0x4F), 0);
    EXPECT_EQ(smbus_write_byte_data(bus, 0x87, 0x55), 0) << "the set-up device needs no gate";
    EXPECT_EQ(smbus_read_byte_data(bus, 0x87), 0x55);
    ASSERT_EQ(i2c_select(bus, 0x20), 0);
    EXPECT_EQ(smbus_read_byte_data(bus, 0), -ENXIO);
    EXPECT_EQ(i2c_select(bus, 0x80), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(i2c_select(platform::dev_open("/dev/mtd-kernel", O_RDWR), 0x54), -1);
    EXPECT_EQ(errno, ENOTTY);
    const int bus1 = platform::dev_open("/dev/i2c-1", O_RDWR);
    for (const int address : {0x70, 0x4F}) {
        ASSERT_EQ(i2c_select(bus1, address), 0);
        EXPECT_LT(smbus_write_byte_data(bus1, 0, 8), 0) << "adapter 1 has nothing on it";
    }
    gate(true);
    for (const char* nak : {"read", "write", "all"}) {
        bus = open_bus(std::string("fault.i2c.nak = ") + nak + "\n", 0x08);
        ASSERT_EQ(i2c_select(bus, 0x54), 0);
        const bool reads = nak[0] != 'w', writes = nak[0] != 'r';
        EXPECT_EQ(smbus_write_byte_data(bus, 1, 0), writes ? -EIO : 0) << nak;
        EXPECT_EQ(smbus_read_byte_data(bus, 1), reads ? -EIO : 0) << nak;
    }
    configure("fault.i2c.missing = 1\n");
    EXPECT_EQ(platform::dev_open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_GE(platform::dev_open("/dev/i2c-1", O_RDWR), 0);
    EXPECT_EQ(log(),
              "vpd-write: offset 1 value 0x00\nfault: i2c nak read\nfault: i2c nak write\n"
              "fault: i2c nak write\nfault: i2c nak read\nfault: i2c missing\n");
}

// lseek places the register; read and write leave the position. The status bit reads 0 once
// after each write of the control register (never 1 when stuck); its other bits are the file's.
TEST_F(Bus, CpldRegisters) {
    for (const bool stuck : {false, true}) {
        configure(stuck ? "fault.cpld.stuck = 1\n" : "");
        Bytes regs(32, 0);
        regs[24] = 0x80;
        put("dev/lamel/cpld_mmmap", regs);
        const int fd = platform::dev_open("/dev/lamel/cpld_mmmap", O_RDWR);
        std::string seen;
        for (const std::uint8_t control : {0x41, 0x40}) {
            std::uint8_t b = 0;
            ASSERT_EQ(platform::dev_lseek(fd, 20, SEEK_SET), 20);
            ASSERT_EQ(platform::dev_read(fd, &b, 1), 1);
            ASSERT_EQ(platform::dev_write(fd, &control, 1), 1);
            EXPECT_EQ(get("dev/lamel/cpld_mmmap")[20], control);
            ASSERT_EQ(platform::dev_lseek(fd, 24, SEEK_SET), 24);
            for (int i = 0; i < 3 && platform::dev_read(fd, &b, 1) == 1; ++i) {
                seen += std::to_string(b) + " ";
            }
        }
        EXPECT_EQ(seen, stuck ? "128 128 128 128 128 128 " : "128 129 129 128 129 129 ");
        EXPECT_EQ(platform::sandbox::stats().cpld_status_reads, 6u);
        EXPECT_EQ(log(), stuck ? "fault: cpld stuck\nfault: cpld stuck\n" : "");
    }
}

}  // namespace
}  // namespace mp_test
