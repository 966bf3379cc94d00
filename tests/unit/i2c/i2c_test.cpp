// The VPD path on the emulated bus 0 of a scratch board: the EEPROM answers only while
// multiplexer channel 3 and the CPLD gate are open, so a wrong sequence shows as a wrong byte,
// and every case checks that the path ends closed.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "i2c/i2c.hpp"
#include "i2c/i2c_testing.hpp"
#include "platform/platform.hpp"
#include "platform/sandbox/sandbox.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Bits of the control register that are not the gate's; they must survive every switch.
constexpr std::uint8_t kControlOtherBits = 0xA4;
constexpr unsigned kPollPauseUs = 10000;
constexpr unsigned kDevicePauseUs = 100000;

// Redirects standard output to a file of the board directory for a while.
class Redirect {
public:
    Redirect(int target, const fs::path& file) : target_(target), path_(file) {
        std::fflush(stdout);
        saved_ = dup(target_);
        const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        dup2(fd, target_);
        close(fd);
    }
    ~Redirect() { finish(); }
    std::string finish() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            dup2(saved_, target_);
            close(saved_);
            saved_ = -1;
        }
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    int target_;
    fs::path path_;
    int saved_ = -1;
};

class I2cTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "i2c-board-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        board_ = fs::absolute(name);
        for (const char* dir : {"dev/lamel", "etc", "var/log"}) {
            fs::create_directories(board_ / dir);
        }
        write_file(board_ / "dev/i2c-0", {});
        write_file(board_ / "dev/i2c-1", {});
        Bytes cpld(32, 0);
        cpld[CPLD_VPD_CONTROL] = kControlOtherBits;
        write_file(board_ / "dev/lamel/cpld_mmmap", cpld);
        vpd_before_.resize(256);
        for (unsigned i = 0; i < 256; ++i) {
            vpd_before_[i] = static_cast<std::uint8_t>(i * 37u + 11u);
        }
        vpd_before_[VPD_IMAGE_OFFSET] = 2;
        vpd_before_[VPD_BOOTED_OFFSET] = 1;
        write_file(board_ / "var/vpd.bin", vpd_before_);
        i2c_reset_for_tests();
    }

    void TearDown() override {
        i2c_reset_for_tests();
        platform::sandbox::set_root("/");
        fs::remove_all(board_);
    }

    static void write_file(const fs::path& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    static std::string read_text(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    Bytes vpd() const {
        const std::string s = read_text(board_ / "var/vpd.bin");
        return {s.begin(), s.end()};
    }

    std::string board_log() const { return read_text(board_ / "var/log/board.log"); }

    void start_board(const std::string& extra_conf = "") {
        std::ofstream conf(board_ / "etc/board.conf");
        conf << "clock.scale = 0\n" << extra_conf;
        conf.close();
        platform::sandbox::set_root(board_.string());
        platform::sandbox::reload();
    }

    void open_buses(const std::string& extra_conf = "") {
        start_board(extra_conf);
        ASSERT_EQ(api_i2c_init(), 0);
    }

    Redirect capture() { return Redirect(STDOUT_FILENO, board_ / "stdout"); }

    std::uint8_t cpld_control() const {
        return static_cast<std::uint8_t>(read_text(board_ / "dev/lamel/cpld_mmmap").at(20));
    }

    // Switches the gate by hand through the CPLD device; the status is not waited for.
    static void force_gate(bool open) {
        const int fd = platform::dev_open("/dev/lamel/cpld_mmmap", O_RDWR);
        ASSERT_GE(fd, 0);
        std::uint8_t control = 0;
        ASSERT_EQ(platform::dev_lseek(fd, CPLD_VPD_CONTROL, SEEK_SET), CPLD_VPD_CONTROL);
        ASSERT_EQ(platform::dev_read(fd, &control, 1), 1);
        control = static_cast<std::uint8_t>(open ? control | 1u : control & ~1u);
        ASSERT_EQ(platform::dev_lseek(fd, CPLD_VPD_CONTROL, SEEK_SET), CPLD_VPD_CONTROL);
        ASSERT_EQ(platform::dev_write(fd, &control, 1), 1);
        platform::dev_close(fd);
    }

    // With the gate forced open, the EEPROM answers only if a multiplexer channel to it was
    // left on. `mux` other than -1 first writes that control byte to the multiplexer.
    static bool eeprom_answers_with_gate_open(int mux = -1) {
        force_gate(true);
        const int fd = platform::dev_open("/dev/i2c-0", O_RDWR);
        if (mux >= 0) {
            const auto control = static_cast<std::uint8_t>(mux);
            platform::i2c_select(fd, I2C_MUX_ADDR);
            platform::dev_write(fd, &control, 1);
        }
        platform::i2c_select(fd, VPD_EEPROM_ADDR);
        const std::int32_t data = platform::smbus_read_byte_data(fd, 0);
        if (mux >= 0) {
            const std::uint8_t off = 0;
            platform::i2c_select(fd, I2C_MUX_ADDR);
            platform::dev_write(fd, &off, 1);
        }
        platform::dev_close(fd);
        force_gate(false);
        return data >= 0;
    }

    // Between VPD accesses: the gate closed with the other control bits kept, all channels off.
    void expect_path_closed() {
        EXPECT_EQ(cpld_control(), kControlOtherBits);
        EXPECT_FALSE(eeprom_answers_with_gate_open());
    }

    // Two gate operations each read the status until it reads 1, pausing after every clear read.
    static void expect_pauses(unsigned long long device_pauses) {
        const auto& st = platform::sandbox::stats();
        ASSERT_GE(st.cpld_status_reads, 2u);
        EXPECT_EQ(st.slept_us,
                  device_pauses * kDevicePauseUs + (st.cpld_status_reads - 2ull) * kPollPauseUs);
    }

    fs::path board_;
    Bytes vpd_before_;
};

// ---- Buses --------------------------------------------------------------------------------

TEST_F(I2cTest, BothBusesOpenAndCloseBackToZero) {
    start_board();
    auto out = capture();
    EXPECT_EQ(api_i2c_init(), 0);
    EXPECT_EQ(out.finish(), "");
    EXPECT_GT(i2c_bus_descriptor(0), 0);
    EXPECT_GT(i2c_bus_descriptor(1), 0);
    EXPECT_NE(i2c_bus_descriptor(0), i2c_bus_descriptor(1));

    EXPECT_EQ(api_i2c_close(), 0);
    EXPECT_EQ(i2c_bus_descriptor(0), 0);
    EXPECT_EQ(i2c_bus_descriptor(1), 0);
    EXPECT_EQ(api_i2c_close(), 0);
    EXPECT_EQ(i2c_bus_descriptor(0), 0);
}

TEST_F(I2cTest, MissingBusZeroStopsBeforeBusOneAndReadsGiveFF) {
    start_board("fault.i2c.missing = 1\n");
    auto out = capture();
    EXPECT_EQ(api_i2c_init(), -1);
    EXPECT_EQ(out.finish(), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    EXPECT_EQ(i2c_bus_descriptor(0), -1);
    EXPECT_EQ(i2c_bus_descriptor(1), 0);

    auto out2 = capture();
    EXPECT_EQ(api_get_image(), 0xFFu);
    EXPECT_LT(api_set_image(1), 0);
    EXPECT_EQ(out2.finish().rfind("I2C error when writing bus 0 offset 1: ", 0), 0u);
    EXPECT_EQ(vpd(), vpd_before_);
    EXPECT_EQ(cpld_control(), kControlOtherBits);
}

TEST_F(I2cTest, MissingBusOneIsReportedAndBusZeroStillWorks) {
    fs::remove(board_ / "dev/i2c-1");
    start_board();
    auto out = capture();
    EXPECT_EQ(api_i2c_init(), -1);
    EXPECT_EQ(out.finish(), "ERROR: driver /dev/i2c-1 couldn't be opened\n");
    EXPECT_EQ(i2c_bus_descriptor(1), -1);
    EXPECT_EQ(api_get_image(), 2u);
}

// With the buses closed (or never opened) every access fails: no byte, reads give 0xFF.
TEST_F(I2cTest, ClosedBusesFailEveryAccess) {
    open_buses();
    api_i2c_close();
    auto out = capture();
    EXPECT_LT(api_set_image(1), 0);
    EXPECT_EQ(api_get_image(), 0xFFu);
    EXPECT_EQ(api_ubootenv_read(nullptr, 0, 0), 0);
    const std::string text = out.finish();
    EXPECT_EQ(text.rfind("I2C error when writing bus 0 offset 1: ", 0), 0u);
    EXPECT_NE(text.find("I2C error when setting bus 0, device 0x0: "), std::string::npos);
    EXPECT_EQ(vpd(), vpd_before_);
    EXPECT_EQ(cpld_control(), kControlOtherBits);
}

// ---- VPD bytes ----------------------------------------------------------------------------

TEST_F(I2cTest, ReadingTheSlotOpensAndClosesThePath) {
    open_buses();
    auto out = capture();
    EXPECT_EQ(api_get_image(), 2u);
    EXPECT_EQ(out.finish(), "");
    expect_pauses(1);
    expect_path_closed();
    EXPECT_EQ(vpd(), vpd_before_);
    // The probe of expect_path_closed() does see a channel left on.
    EXPECT_TRUE(eeprom_answers_with_gate_open(1 << VPD_MUX_CHANNEL));
}

TEST_F(I2cTest, BootedImageFourLandsAtByte59) {
    open_buses();
    auto out = capture();
    EXPECT_GE(api_set_booted_image(4), 0);
    EXPECT_EQ(out.finish(), "");
    expect_pauses(2);
    Bytes expected = vpd_before_;
    expected[59] = 4;
    EXPECT_EQ(vpd(), expected);
    EXPECT_NE(board_log().find("vpd-write: offset 59 value 0x04"), std::string::npos);
    expect_path_closed();

    EXPECT_GE(api_set_image(1), 0);
    expected[1] = 1;
    EXPECT_EQ(vpd(), expected);
    EXPECT_EQ(api_get_image(), 1u);
    expect_path_closed();
}

TEST_F(I2cTest, OnlyTheLowEightBitsOfAnOffsetReachTheEeprom) {
    open_buses();
    EXPECT_GE(i2c_set_vpd_offset_for_tests(0x013B, 9), 0);
    Bytes expected = vpd_before_;
    expected[0x3B] = 9;
    EXPECT_EQ(vpd(), expected);

    std::uint8_t byte = 0;
    EXPECT_EQ(api_eeprom_read(&byte, 0x0701, 7), 0);
    EXPECT_EQ(byte, vpd_before_[1]);
    expect_path_closed();
}

TEST_F(I2cTest, FailedReadGivesFFSoStartUpFallsBackToSlotOne) {
    open_buses("fault.i2c.nak = read\n");
    auto out = capture();
    const unsigned image = api_get_image();
    std::uint8_t byte = 0;
    const int eeprom = api_eeprom_read(&byte, 59, 1);
    EXPECT_EQ(out.finish(), "");
    // 0xFF is neither slot 1 nor slot 2: start-up boots slot 1.
    EXPECT_EQ(image, 0xFFu);
    EXPECT_EQ(byte, 0xFF);
    EXPECT_EQ(eeprom, 0);  // the EEPROM was selected; only its answer failed
    EXPECT_NE(board_log().find("fault: i2c nak read"), std::string::npos);
    expect_path_closed();
}

TEST_F(I2cTest, FailedWriteShowsTheWholeOffsetAndStillClosesThePath) {
    open_buses("fault.i2c.nak = write\n");
    auto out = capture();
    EXPECT_LT(api_set_image(2), 0);
    EXPECT_LT(i2c_set_vpd_offset_for_tests(0x1234, 1), 0);
    EXPECT_EQ(out.finish(),
              "I2C error when writing bus 0 offset 1: 5\n"
              "I2C error when writing bus 0 offset 4660: 5\n");
    EXPECT_EQ(vpd(), vpd_before_);
    EXPECT_EQ(board_log().find("vpd-write"), std::string::npos);
    expect_path_closed();
}

// ---- The CPLD gate ------------------------------------------------------------------------

TEST_F(I2cTest, StuckGateGivesUpAfter5000PollsEachWayAndStillTriesTheEeprom) {
    open_buses("fault.cpld.stuck = 1\n");
    auto out = capture();
    EXPECT_GE(api_set_booted_image(4), 0);
    EXPECT_EQ(out.finish(), "CPLD set bus error\nCPLD set bus error\n");
    const auto& st = platform::sandbox::stats();
    EXPECT_EQ(st.cpld_status_reads, 10000u);
    EXPECT_EQ(st.slept_us, 2ull * kDevicePauseUs + 10000ull * kPollPauseUs);
    EXPECT_EQ(vpd().at(59), 4);
    EXPECT_EQ(cpld_control(), kControlOtherBits);
}

TEST_F(I2cTest, MissingCpldDeviceIsReportedOnBothSwitches) {
    open_buses();
    fs::remove(board_ / "dev/lamel/cpld_mmmap");
    auto out = capture();
    EXPECT_EQ(api_get_image(), 0xFFu);
    EXPECT_EQ(out.finish(), "CPLD driver could not be opened\nCPLD driver could not be opened\n");
    EXPECT_EQ(platform::sandbox::stats().slept_us, kDevicePauseUs);
}

TEST_F(I2cTest, EmptyEnvironmentTransferMovesNoByte) {
    open_buses();
    std::uint8_t buf[4] = {1, 2, 3, 4};
    auto out = capture();
    EXPECT_EQ(api_ubootenv_read(buf, 0x10, 4), 0);
    // Nobody answers at address 0 on this board: the adapter refuses the empty write.
    EXPECT_EQ(out.finish(), "I2C error - device 0x0 writing bus 0 offset 0: 6\n");
    EXPECT_EQ(buf[0], 1);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(vpd(), vpd_before_);
}

}  // namespace
