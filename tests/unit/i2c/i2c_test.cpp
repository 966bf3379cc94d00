// The VPD path on the emulated bus 0 of a scratch board: the EEPROM answers only while
// multiplexer channel 3 and the CPLD gate are open, so a wrong sequence shows as a wrong byte,
// and every case checks that the path ends closed.
#include <fcntl.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "../platform/sandbox/board_fixture.hpp"
#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"

namespace sandbox_test {
namespace {

// Bits of the control register that are not the gate's; they must survive every switch.
constexpr std::uint8_t kControlOtherBits = 0xA4;
constexpr unsigned kPollPauseUs = 10000;
constexpr unsigned kDevicePauseUs = 100000;

class I2cTest : public Board {
protected:
    void SetUp() override {
        Board::SetUp();
        Bytes cpld(32, 0);
        cpld[CPLD_VPD_CONTROL] = kControlOtherBits;
        put("dev/lamel/cpld_mmmap", cpld);
        vpd_ = pattern(256, 3);
        vpd_[VPD_IMAGE_OFFSET] = 2;
        vpd_[VPD_BOOTED_OFFSET] = 1;
        put("var/vpd.bin", vpd_);
        i2c_reset_for_tests();
    }
    void TearDown() override {
        i2c_reset_for_tests();
        Board::TearDown();
    }

    void open_buses(const std::string& conf = "") {
        configure("clock.scale = 0\n" + conf);
        ASSERT_EQ(api_i2c_init(), 0);
    }

    // With the gate forced open, the EEPROM answers only if a multiplexer channel to it is on;
    // `control` other than -1 is written to the multiplexer first (and cleared after).
    bool eeprom_answers_with_gate_open(int control = -1) {
        gate(true);
        const int fd = platform::dev_open("/dev/i2c-0", O_RDWR);
        if (control >= 0) {
            mux(fd, static_cast<std::uint8_t>(control));
        }
        platform::i2c_select(fd, VPD_EEPROM_ADDR);
        const bool answers = platform::smbus_read_byte_data(fd, 0) >= 0;
        if (control >= 0) {
            mux(fd, 0);
        }
        platform::dev_close(fd);
        gate(false);
        return answers;
    }

    // Between VPD accesses: the gate closed with the other control bits kept, all channels off.
    void expect_path_closed() {
        EXPECT_EQ(get("dev/lamel/cpld_mmmap").at(CPLD_VPD_CONTROL), kControlOtherBits);
        EXPECT_FALSE(eeprom_answers_with_gate_open());
    }

    // Two gate switches each read the status until it reads 1, pausing after every clear read.
    static void expect_pauses(const platform::sandbox::Stats& before,
                              unsigned long long device_pauses) {
        const auto& st = platform::sandbox::stats();
        const unsigned long long reads = st.cpld_status_reads - before.cpld_status_reads;
        ASSERT_GE(reads, 2u);
        EXPECT_EQ(st.slept_us - before.slept_us,
                  device_pauses * kDevicePauseUs + (reads - 2) * kPollPauseUs);
    }

    Bytes vpd_;
};

// Bus 1 is never tried when bus 0 is missing; with the buses missing or closed every access
// fails: no byte written, reads give 0xFF.
TEST_F(I2cTest, BusesOpenCloseAndFailWhenAbsent) {
    constexpr int kOpen = 1;
    struct Case {
        const char* conf;
        const char* removed;
        const char* text;
        int bus0;
        int bus1;
        unsigned image;
    };
    const Case cases[] = {
        {"", nullptr, "", kOpen, kOpen, 2},
        {"fault.i2c.missing = 1\n", nullptr, "ERROR: driver /dev/i2c-0 couldn't be opened\n", -1, 0,
         0xFF},
        {"", "dev/i2c-1", "ERROR: driver /dev/i2c-1 couldn't be opened\n", kOpen, -1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.removed != nullptr) {
            fs::remove(dir_ / c.removed);
        }
        configure(std::string("clock.scale = 0\n") + c.conf);
        auto out = capture();
        EXPECT_EQ(api_i2c_init(), c.text[0] == '\0' ? 0 : -1);
        EXPECT_EQ(out.text(), c.text);
        for (int bus : {0, 1}) {
            const int want = bus == 0 ? c.bus0 : c.bus1;
            const int fd = i2c_bus_descriptor(bus);
            EXPECT_EQ(want == kOpen ? fd > 0 : fd == want, true) << "bus " << bus << ": " << fd;
        }
        EXPECT_EQ(api_get_image(), c.image);
        EXPECT_EQ(api_i2c_close(), 0);
        EXPECT_EQ(api_i2c_close(), 0);
        // Closed buses go back to 0; one that failed to open still says so.
        EXPECT_EQ(i2c_bus_descriptor(0), std::min(c.bus0, 0));
        EXPECT_EQ(i2c_bus_descriptor(1), std::min(c.bus1, 0));
        auto closed = capture();
        EXPECT_LT(api_set_image(1), 0);
        EXPECT_EQ(api_get_image(), 0xFFu);
        EXPECT_EQ(api_ubootenv_read(nullptr, 0, 0), 0);
        const std::string text = closed.text();
        EXPECT_EQ(text.rfind("I2C error when writing bus 0 offset 1: ", 0), 0u) << text;
        EXPECT_NE(text.find("I2C error when setting bus 0, device 0x0: "), std::string::npos);
        EXPECT_EQ(get("var/vpd.bin"), vpd_);
        expect_path_closed();
    }
}

TEST_F(I2cTest, VpdBytesAreWrittenAndReadThroughTheOpenedPath) {
    open_buses();
    auto out = capture();
    EXPECT_EQ(api_get_image(), 2u);
    expect_pauses({}, 1);
    expect_path_closed();
    // The probe of expect_path_closed() does see a channel left on.
    EXPECT_TRUE(eeprom_answers_with_gate_open(1 << VPD_MUX_CHANNEL));

    const auto before = platform::sandbox::stats();
    EXPECT_GE(api_set_booted_image(4), 0);
    expect_pauses(before, 2);
    vpd_[59] = 4;
    EXPECT_EQ(get("var/vpd.bin"), vpd_);
    EXPECT_EQ(log(), "vpd-write: offset 59 value 0x04\n");
    expect_path_closed();

    EXPECT_GE(api_set_image(1), 0);
    vpd_[1] = 1;
    EXPECT_EQ(api_get_image(), 1u);
    expect_path_closed();

    // Only the low eight bits of an offset reach the EEPROM.
    EXPECT_GE(i2c_set_vpd_offset_for_tests(0x013B, 9), 0);
    vpd_[0x3B] = 9;
    EXPECT_EQ(get("var/vpd.bin"), vpd_);
    std::uint8_t byte = 0;
    EXPECT_EQ(api_eeprom_read(&byte, 0x0701, 7), 0);
    EXPECT_EQ(byte, 1);
    EXPECT_EQ(out.text(), "");
    expect_path_closed();
}

TEST_F(I2cTest, FailedWriteShowsTheWholeOffsetAndStillClosesThePath) {
    open_buses("fault.i2c.nak = write\n");
    auto out = capture();
    EXPECT_LT(api_set_image(2), 0);
    EXPECT_LT(i2c_set_vpd_offset_for_tests(0x1234, 1), 0);
    EXPECT_EQ(out.text(),
              "I2C error when writing bus 0 offset 1: 5\n"
              "I2C error when writing bus 0 offset 4660: 5\n");
    EXPECT_EQ(get("var/vpd.bin"), vpd_);
    EXPECT_EQ(log().find("vpd-write"), std::string::npos);
    expect_path_closed();
}

TEST_F(I2cTest, StuckGateGivesUpAfter5000PollsEachWayAndStillTriesTheEeprom) {
    open_buses("fault.cpld.stuck = 1\n");
    auto out = capture();
    EXPECT_GE(api_set_booted_image(4), 0);
    EXPECT_EQ(out.text(), "CPLD set bus error\nCPLD set bus error\n");
    const auto& st = platform::sandbox::stats();
    EXPECT_EQ(st.cpld_status_reads, 10000u);
    EXPECT_EQ(st.slept_us, 2ull * kDevicePauseUs + 10000ull * kPollPauseUs);
    EXPECT_EQ(get("var/vpd.bin").at(59), 4);
    EXPECT_EQ(get("dev/lamel/cpld_mmmap").at(CPLD_VPD_CONTROL), kControlOtherBits);
}

}  // namespace
}  // namespace sandbox_test
