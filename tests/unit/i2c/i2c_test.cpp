// The VPD path on the emulated bus 0 of a scratch board: the EEPROM answers only while
// multiplexer channel 3 and the CPLD gate are open, so a wrong sequence shows as a wrong byte.
#include <fcntl.h>

#include <string>

#include "../platform/sandbox/board_fixture.hpp"
#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"

namespace sandbox_test {
namespace {

constexpr std::uint8_t kOtherBits = 0xA4;  // control bits that are not the gate's

class I2cTest : public Board {
protected:
    void SetUp() override {
        Board::SetUp();
        Bytes cpld(32, 0);
        cpld[CPLD_VPD_CONTROL] = kOtherBits;
        put("dev/lamel/cpld_mmmap", cpld);
        vpd_ = pattern(256, 3);
        vpd_[VPD_IMAGE_OFFSET] = 2;
        put("var/vpd.bin", vpd_);
        i2c_reset_for_tests();
    }
    void TearDown() override {
        i2c_reset_for_tests();
        Board::TearDown();
    }
    // Between accesses the gate is closed (other bits kept) and no channel leads to the EEPROM.
    void expect_path_closed() {
        EXPECT_EQ(get("dev/lamel/cpld_mmmap").at(CPLD_VPD_CONTROL), kOtherBits);
        gate(true);
        const int fd = platform::dev_open("/dev/i2c-0", O_RDWR);
        platform::i2c_select(fd, VPD_EEPROM_ADDR);
        EXPECT_LT(platform::smbus_read_byte_data(fd, 0), 0);
        platform::dev_close(fd);
        gate(false);
    }
    Bytes vpd_;
};

// Bus 1 is not tried when bus 0 is missing; closed or missing buses fail every access.
TEST_F(I2cTest, Buses) {
    const struct {
        const char *conf, *removed, *text;
        int bus1;
        unsigned image;
    } cases[] = {
        {"", nullptr, "", 1, 2},
        {"fault.i2c.missing = 1\n", nullptr, "ERROR: driver /dev/i2c-0 couldn't be opened\n", 0,
         0xFF},
        {"", "dev/i2c-1", "ERROR: driver /dev/i2c-1 couldn't be opened\n", -1, 2},
    };
    for (const auto& c : cases) {
        if (c.removed != nullptr) {
            fs::remove(dir_ / c.removed);
        }
        configure(std::string("clock.scale = 0\n") + c.conf);
        auto out = capture();
        EXPECT_EQ(api_i2c_init(), c.text[0] == '\0' ? 0 : -1);
        EXPECT_EQ(out.text(), c.text);
        EXPECT_EQ(c.bus1 == 1 ? i2c_bus_descriptor(1) > 0 : i2c_bus_descriptor(1) == c.bus1, true);
        EXPECT_EQ(api_get_image(), c.image);
        EXPECT_EQ(api_i2c_close(), 0);
        EXPECT_EQ(i2c_bus_descriptor(0), c.image == 0xFF ? -1 : 0);
        auto closed = capture();
        EXPECT_LT(api_set_image(1), 0);
        EXPECT_EQ(api_get_image(), 0xFFu);
        EXPECT_EQ(closed.text().rfind("I2C error when writing bus 0 offset 1: ", 0), 0u);
        EXPECT_EQ(get("var/vpd.bin"), vpd_);
        expect_path_closed();
    }
}

// Each access waits 100 ms for the set-up device (and a write 100 ms more for the EEPROM), and
// 10 ms after every clear status read of the gate's two switches.
TEST_F(I2cTest, VpdBytesGoThroughTheOpenedPath) {
    configure("clock.scale = 0\n");
    ASSERT_EQ(api_i2c_init(), 0);
    EXPECT_GE(api_set_booted_image(4), 0);
    EXPECT_GE(i2c_set_vpd_offset_for_tests(0x0101, 1), 0);  // only the low 8 bits reach it
    vpd_[VPD_BOOTED_OFFSET] = 4;
    vpd_[VPD_IMAGE_OFFSET] = 1;
    EXPECT_EQ(get("var/vpd.bin"), vpd_);
    EXPECT_EQ(api_get_image(), 1u);
    const auto& st = platform::sandbox::stats();
    EXPECT_EQ(st.slept_us, 5 * 100000ull + (st.cpld_status_reads - 6) * 10000ull);
    expect_path_closed();

    configure("clock.scale = 0\nfault.i2c.nak = write\n");
    ASSERT_EQ(api_i2c_init(), 0);
    auto out = capture();
    EXPECT_LT(i2c_set_vpd_offset_for_tests(0x1234, 9), 0);
    EXPECT_EQ(out.text(), "I2C error when writing bus 0 offset 4660: 5\n");
    EXPECT_EQ(get("var/vpd.bin"), vpd_);
    expect_path_closed();
}

TEST_F(I2cTest, StuckGateGivesUpAfter5000PollsEachWay) {
    configure("clock.scale = 0\nfault.cpld.stuck = 1\n");
    ASSERT_EQ(api_i2c_init(), 0);
    auto out = capture();
    EXPECT_GE(api_set_booted_image(4), 0);
    EXPECT_EQ(out.text(), "CPLD set bus error\nCPLD set bus error\n");
    EXPECT_EQ(platform::sandbox::stats().cpld_status_reads, 10000u);
    EXPECT_EQ(get("var/vpd.bin").at(59), 4);
    EXPECT_EQ(get("dev/lamel/cpld_mmmap").at(CPLD_VPD_CONTROL), kOtherBits);
}

}  // namespace
}  // namespace sandbox_test
