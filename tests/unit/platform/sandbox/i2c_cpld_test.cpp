// The emulated I2C buses, used in place on the board; the CPLD gate through the i2c module's tests.
#include <fcntl.h>

#include <cerrno>

#include "platform/platform.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

using platform::i2c_select;

class Bus : public BoardTest {};

// The EEPROM at 0x54 answers only behind channel 3 of the multiplexer and the open CPLD gate;
// the set-up device at 0x4F needs no gate. Each row on a freshly read board.conf.
TEST_F(Bus, DevicesAnswerBehindTheirPath) {
    const struct {
        const char* conf;
        std::uint8_t mux;
        bool gate;
        int address, reg, value, want;  // value -1: a read
    } cases[] = {{"", 0x08, false, 0x54, 59, 0x08, -ENXIO},
                 {"", 0x04, true, 0x54, 59, 0x04, -ENXIO},
                 {"", 0xFF, true, 0x54, 59, 0xFF, 0},
                 {"", 0x09, true, 0x54, 59, 0x09, 0},
                 {"", 0x08, true, 0x54, 59, -1, 0x09},
                 {"", 0, false, 0x4F, 0x87, 0x55, 0},
                 {"", 0x08, true, 0x20, 0, -1, -ENXIO},
                 {"nak = read", 0x08, true, 0x54, 1, 0, 0},
                 {"nak = read", 0x08, true, 0x54, 1, -1, -EIO},
                 {"nak = write", 0x08, true, 0x54, 1, 0, -EIO},
                 {"nak = write", 0x08, true, 0x54, 1, -1, 0},
                 {"nak = all", 0x08, true, 0x54, 1, 0, -EIO},
                 {"nak = all", 0x08, true, 0x54, 1, -1, -EIO}};
    for (const auto& c : cases) {
        configure("i2c.eeprom = /vpd/eeprom.bin\n" +
                  (c.conf[0] ? "fault.i2c." + std::string(c.conf) + "\n" : ""));
        gate(c.gate);
        const int bus = platform::dev_open("/dev/i2c-0", O_RDWR);
        ASSERT_EQ(i2c_select(bus, 0x70), 0);
        ASSERT_EQ(platform::dev_write(bus, &c.mux, 1), 1);
        ASSERT_EQ(i2c_select(bus, c.address), 0) << "selection never probes";
        EXPECT_EQ(c.value < 0 ? platform::smbus_read_byte_data(bus, c.reg)
                              : platform::smbus_write_byte_data(bus, c.reg, c.value),
                  c.want)
            << c.conf << " " << c.address << " " << int{c.mux};
    }
    Bytes vpd = erased(256);
    vpd[59] = 0x09;
    vpd[1] = 0;
    EXPECT_EQ(get("vpd/eeprom.bin"), vpd) << "created erased, written at its offsets";
    // A plain offset write, then a plain read from there.
    configure("i2c.eeprom = /vpd/eeprom.bin\n");
    const int bus = platform::dev_open("/dev/i2c-0", O_RDWR);
    const std::uint8_t mux = 0x08, at[] = {58, 0x42};
    std::uint8_t got[2] = {};
    ASSERT_TRUE(i2c_select(bus, 0x70) == 0 && platform::dev_write(bus, &mux, 1) == 1);
    ASSERT_EQ(i2c_select(bus, 0x54), 0);
    ASSERT_EQ(platform::dev_write(bus, at, 2), 2);
    ASSERT_EQ(platform::dev_write(bus, at, 1), 1);
    ASSERT_EQ(platform::dev_read(bus, got, 2), 2);
    EXPECT_EQ(got[0] * 256 + got[1], 0x4209);
    EXPECT_EQ(i2c_select(bus, 0x80), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(i2c_select(platform::dev_open("/dev/mtd-kernel", O_RDWR), 0x54), -1);
    EXPECT_EQ(errno, ENOTTY);
    const int bus1 = platform::dev_open("/dev/i2c-1", O_RDWR);
    for (const int address : {0x70, 0x4F}) {
        ASSERT_EQ(i2c_select(bus1, address), 0);
        EXPECT_LT(platform::smbus_write_byte_data(bus1, 0, 8), 0) << "adapter 1 has nothing on it";
    }
    configure("fault.i2c.missing = 1\n");
    EXPECT_EQ(platform::dev_open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_GE(platform::dev_open("/dev/i2c-1", O_RDWR), 0);
    EXPECT_EQ(log(),
              "vpd-write: offset 59 value 0xff\nvpd-write: offset 59 value 0x09\n"
              "vpd-write: offset 1 value 0x00\nfault: i2c nak read\nfault: i2c nak write\n"
              "fault: i2c nak write\nfault: i2c nak read\nvpd-write: offset 58 value 0x42\n"
              "fault: i2c missing\n");
}

}  // namespace
}  // namespace mp_test
