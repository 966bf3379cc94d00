// The VPD path on the emulated bus 0: the EEPROM answers only behind multiplexer channel 3 and
// the open CPLD gate, so a wrong sequence shows as a wrong byte.
#include <fcntl.h>
#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>

#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"
#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"
#include "support/support.hpp"

namespace mp_test {
namespace {

constexpr std::uint8_t kOtherBits = 0xA4;  // control bits that are not the gate's

class I2cTest : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        if (dir_.empty()) {
            return;
        }
        put("dev/lamel/cpld_mmmap",
            concat({Bytes(CPLD_VPD_CONTROL, 0), {kOtherBits}, Bytes(11, 0)}));
        vpd_ = pattern(256, 3);
        vpd_[VPD_IMAGE_OFFSET] = 2;
        put("var/vpd.bin", vpd_);
    }
    // After the accesses: the gate closed (other bits kept), no channel to the EEPROM.
    bool path_closed() {
        const bool kept = get("dev/lamel/cpld_mmmap").at(CPLD_VPD_CONTROL) == kOtherBits;
        gate(true);
        const int fd = platform::dev_open("/dev/i2c-0", O_RDWR);
        platform::i2c_select(fd, VPD_EEPROM_ADDR);
        const bool off = platform::smbus_read_byte_data(fd, 0) < 0;
        platform::dev_close(fd);
        gate(false);
        return kept && off;
    }
    Bytes vpd_;
};

// Bus 1 is not tried when bus 0 is missing; closed or missing buses fail every access.
TEST_F(I2cTest, Buses) {
    const struct {
        const char *conf, *removed, *out;
    } cases[] = {
        {"", nullptr, "0 1 2|0 0|"},
        {"fault.i2c.missing = 1\n", nullptr,
         "ERROR: driver /dev/i2c-0 couldn't be opened\n-1 0 255|0 -1|"},
        {"", "dev/i2c-1", "ERROR: driver /dev/i2c-1 couldn't be opened\n-1 -1 2|0 0|"},
    };
    for (const auto& c : cases) {
        if (c.removed != nullptr) {
            std::filesystem::remove(board_file(c.removed));
        }
        board_conf(c.conf);
        const Outcome o = run([&] {
            const int init = api_i2c_init(), bus1 = i2c_bus_descriptor(1);
            std::printf("%d %d ", init, bus1 > 0 ? 1 : bus1);  // 1: open
            std::printf("%u|", api_get_image());
            const int closed = api_i2c_close();
            std::printf("%d %d|", closed, i2c_bus_descriptor(0));
            return api_set_image(1) < 0 && api_get_image() == 0xFF && path_closed();
        });
        EXPECT_THAT(o.out, testing::StartsWith(
                               c.out + std::string("I2C error when writing bus 0 offset 1: ")));
        EXPECT_EQ(o.returned, 1);
        EXPECT_EQ(get("var/vpd.bin"), vpd_);
    }
}

// An access waits 100 ms for the set-up device (a write 100 ms more) and 10 ms after each clear
// status read; a stuck gate gives up after 5000 polls each way.
TEST_F(I2cTest, VpdBytesGoThroughTheOpenedPath) {
    Outcome o = run([&] {
        api_i2c_init();
        const bool set = api_set_booted_image(4) >= 0 &&
                         i2c_set_vpd_offset_for_tests(0x0101, 1) >= 0;  // only the low 8 bits
        const unsigned image = api_get_image();
        const auto& st = platform::sandbox::stats();
        std::printf("%d %u %llu %u ", set, image, st.slept_us, st.cpld_status_reads);
        return path_closed();
    });
    EXPECT_EQ(o.out, "1 1 560000 12 ");
    EXPECT_EQ(o.returned, 1);
    vpd_[VPD_BOOTED_OFFSET] = 4;
    vpd_[VPD_IMAGE_OFFSET] = 1;
    EXPECT_EQ(get("var/vpd.bin"), vpd_);

    board_conf("fault.i2c.nak = write\n");
    o = run([&] {
        return api_i2c_init() == 0 && i2c_set_vpd_offset_for_tests(0x1234, 9) < 0 && path_closed();
    });
    EXPECT_EQ(o.out, "I2C error when writing bus 0 offset 4660: 5\n");
    EXPECT_EQ(o.returned, 1);
    EXPECT_EQ(get("var/vpd.bin"), vpd_);

    board_conf("fault.cpld.stuck = 1\n");
    o = run([] {
        return api_i2c_init() == 0 && api_set_booted_image(2) >= 0
                   ? int(platform::sandbox::stats().cpld_status_reads)
                   : -1;
    });
    EXPECT_EQ(o.out, "CPLD set bus error\nCPLD set bus error\n");
    EXPECT_EQ(o.returned, 10000);
    EXPECT_EQ(get("var/vpd.bin").at(VPD_BOOTED_OFFSET), 2);
    EXPECT_EQ(get("dev/lamel/cpld_mmmap").at(CPLD_VPD_CONTROL), kOtherBits);
}

}  // namespace
}  // namespace mp_test
