// The I2C adapters, the path to the VPD EEPROM (multiplexer channel 3 and the CPLD gate) and the
// boot-slot bytes behind it.

#include "i2c/i2c.hpp"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "i2c/i2c_testing.hpp"
#include "platform/platform.hpp"

namespace {

constexpr int kBusCount = 2;
constexpr int kVpdBus = 0;

constexpr const char* kCpldDevice = "/dev/lamel/cpld_mmmap";

// The gate reports a finished switch on bit 0 of its status register. Each clear poll costs 10
// out of the budget and is followed by a 10 ms pause: at most 5000 reads, about 50 s.
constexpr int kCpldPollBudget = 50000;
constexpr int kCpldPollCost = 10;
constexpr useconds_t kCpldPollPauseUs = 10000;

// The set-up device and the EEPROM's write cycle each want 100 ms.
constexpr useconds_t kSummitPauseUs = 100000;
constexpr useconds_t kVpdWritePauseUs = 100000;

// 0 before the buses are opened and after they are closed, -1 after a failed open.
int i2c_file[kBusCount] = {0, 0};

// A descriptor that is not above 0 is no open bus: 0 would be the console, so no byte meant
// for the multiplexer or the EEPROM ever goes there. -1 makes the call fail (EBADF).
int bus_fd(int bus) {
    if (bus < 0 || bus >= kBusCount || i2c_file[bus] <= 0) {
        return -1;
    }
    return i2c_file[bus];
}

class CpldDevice {
public:
    CpldDevice() : fd_(platform::dev_open(kCpldDevice, O_RDWR)) {}
    CpldDevice(const CpldDevice&) = delete;
    CpldDevice& operator=(const CpldDevice&) = delete;
    ~CpldDevice() {
        if (fd_ >= 0) {
            platform::dev_close(fd_);
        }
    }
    bool is_open() const { return fd_ >= 0; }
    bool seek(int reg) const { return platform::dev_lseek(fd_, reg, SEEK_SET) == reg; }
    bool read(std::uint8_t& byte) const { return platform::dev_read(fd_, &byte, 1) == 1; }
    bool write(std::uint8_t byte) const { return platform::dev_write(fd_, &byte, 1) == 1; }

private:
    int fd_;
};

int cpld_fail(const char* message) {
    std::printf("%s\n", message);
    return -1;
}

// Opens (enable non-zero) or closes the CPLD's gate in front of the VPD EEPROM and waits until
// the CPLD reports the switch done. 0 on success, -1 on failure.
int set_vpd_access(int enable) {
    const CpldDevice cpld;
    if (!cpld.is_open()) {
        return cpld_fail("CPLD driver could not be opened");
    }
    std::uint8_t control = 0;
    if (!cpld.seek(CPLD_VPD_CONTROL)) {
        return cpld_fail("CPLD seek error");
    }
    if (!cpld.read(control)) {
        return cpld_fail("CPLD read error");
    }
    control =
        enable ? static_cast<std::uint8_t>(control | 1u) : static_cast<std::uint8_t>(control & ~1u);
    if (!cpld.seek(CPLD_VPD_CONTROL)) {
        return cpld_fail("CPLD seek error");
    }
    if (!cpld.write(control)) {
        return cpld_fail("CPLD write error");
    }
    if (!cpld.seek(CPLD_VPD_STATUS)) {
        return cpld_fail("CPLD seek error");
    }
    // The driver does not move the position on a one-byte read, so every poll reads the status
    // register without seeking again.
    for (int budget = kCpldPollBudget; budget > 0; budget -= kCpldPollCost) {
        std::uint8_t status = 0;
        if (!cpld.read(status)) {
            return cpld_fail("CPLD read error");
        }
        if (status & 1u) {
            return 0;
        }
        platform::clock_usleep(kCpldPollPauseUs);
    }
    return cpld_fail("CPLD set bus error");
}

// Every transaction below goes out only after its own address selection succeeded: the
// adapter keeps the last address that was selected, and a byte meant for one device must not
// land in another (the set-up value 0x55 in the EEPROM, a boot slot in the set-up device).

// The multiplexer takes its control byte as a plain one-byte write (on the wire what SMBus calls
// "send byte"), which needs an adapter that carries plain I2C transfers, as the board's controller
// does (and a virtual-machine board's mpboard_i2c). An SMBus-only adapter refuses it (EOPNOTSUPP);
// nothing looks at the result.
int mux_write(std::uint8_t control) {
    const int fd = bus_fd(kVpdBus);
    const int selected = platform::i2c_select(fd, I2C_MUX_ADDR);
    if (selected < 0) {
        return selected;
    }
    return static_cast<int>(platform::dev_write(fd, &control, 1));
}

int setup_mux(int channel) {
    return mux_write(static_cast<std::uint8_t>(1u << channel));
}

int clear_mux() {
    return mux_write(0);
}

int setup_summit() {
    const int fd = bus_fd(kVpdBus);
    int result = platform::i2c_select(fd, SUMMIT_ADDR);
    if (result >= 0) {
        result = platform::smbus_write_byte_data(fd, SUMMIT_REGISTER, SUMMIT_VALUE);
    }
    platform::clock_usleep(kSummitPauseUs);
    return result;
}

void open_vpd_path() {
    setup_mux(VPD_MUX_CHANNEL);
    set_vpd_access(1);
    setup_summit();
}

void close_vpd_path() {
    set_vpd_access(0);
    clear_mux();
}

// Writes one VPD byte. The EEPROM takes an 8-bit offset; the error line shows the caller's
// whole offset. The result is the transaction's: 0 or more on success, negative on failure.
int set_vpd_offset(std::uint16_t offset, std::uint8_t value) {
    open_vpd_path();
    const int fd = bus_fd(kVpdBus);
    int result = platform::i2c_select(fd, VPD_EEPROM_ADDR);
    if (result >= 0) {
        result =
            platform::smbus_write_byte_data(fd, static_cast<std::uint8_t>(offset & 0xFFu), value);
    }
    const int error = errno;
    platform::clock_usleep(kVpdWritePauseUs);
    if (result < 0) {
        std::printf("I2C error when writing bus %d offset %d: %d\n", kVpdBus,
                    static_cast<int>(offset), error);
    }
    close_vpd_path();
    return result;
}

// One VPD byte read: the select's result (negative when the EEPROM could not be selected), and
// in *data the byte or a negative value when it was not read. `count` is not used: the path
// carries one byte per access.
int read_vpd_byte(std::uint16_t offset, std::int32_t* data) {
    open_vpd_path();
    const int fd = bus_fd(kVpdBus);
    const int selected = platform::i2c_select(fd, VPD_EEPROM_ADDR);
    *data = selected >= 0
                ? platform::smbus_read_byte_data(fd, static_cast<std::uint8_t>(offset & 0xFFu))
                : -1;
    close_vpd_path();
    return selected;
}

// Reads one VPD byte into *byte, 0xFF when it could not be read. Negative when the EEPROM
// could not be selected, else 0.
int get_vpd_offset(std::uint16_t offset, std::uint32_t count, std::uint8_t* byte) {
    static_cast<void>(count);
    std::int32_t data = -1;
    const int selected = read_vpd_byte(offset, &data);
    *byte = data >= 0 ? static_cast<std::uint8_t>(data & 0xFF) : 0xFF;
    return selected < 0 ? selected : 0;
}

// Register read from a device given in 8-bit form (7-bit address shifted left by one) with an
// offset of `width` bytes (2: high byte first; 0 sends none). 1 on success, 0 on failure.
int i2c_read(int bus, int device, std::uint16_t offset, std::uint32_t length, int width,
             std::uint8_t* buffer) {
    std::uint8_t offset_bytes[2] = {static_cast<std::uint8_t>(offset & 0xFFu), 0};
    std::size_t sent = width <= 0 ? 0 : 1;
    if (width == 2) {
        offset_bytes[0] = static_cast<std::uint8_t>(offset >> 8);
        offset_bytes[1] = static_cast<std::uint8_t>(offset & 0xFFu);
        sent = 2;
    }
    const int fd = bus_fd(bus);
    if (platform::i2c_select(fd, device >> 1) < 0) {
        std::printf("I2C error when setting bus %d, device 0x%x: %d\n", bus,
                    static_cast<unsigned>(device), errno);
        return 0;
    }
    if (platform::dev_write(fd, offset_bytes, sent) < 0) {
        std::printf("I2C error - device 0x%x writing bus %d offset %d: %d\n",
                    static_cast<unsigned>(device), bus, static_cast<int>(offset), errno);
        return 0;
    }
    if (platform::dev_read(fd, buffer, length) != static_cast<ssize_t>(length)) {
        std::printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", static_cast<unsigned>(device),
                    static_cast<int>(offset), static_cast<int>(length), errno);
        return 0;
    }
    return 1;
}

}  // namespace

int api_i2c_init() {
    for (int bus = 0; bus < kBusCount; ++bus) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        i2c_file[bus] = platform::dev_open(path, O_RDWR);
        if (i2c_file[bus] < 0) {
            std::printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int api_i2c_close() {
    for (int& fd : i2c_file) {
        if (fd > 0) {
            platform::dev_close(fd);
            fd = 0;
        }
    }
    return 0;
}

unsigned int api_get_image() {
    std::uint8_t slot = 0xFF;
    get_vpd_offset(VPD_IMAGE_OFFSET, 1, &slot);
    return slot;
}

int api_set_image(std::uint8_t slot) {
    return set_vpd_offset(VPD_IMAGE_OFFSET, slot);
}

int api_set_booted_image(std::uint8_t value) {
    return set_vpd_offset(VPD_BOOTED_OFFSET, value);
}

int api_eeprom_read(std::uint8_t* buffer, std::uint16_t offset, std::uint32_t length) {
    return get_vpd_offset(offset, length, buffer);
}

int vpd_write_byte(std::uint16_t offset, std::uint8_t value) {
    return set_vpd_offset(offset, value) < 0 ? -1 : 0;
}

int vpd_read_byte(std::uint16_t offset, std::uint8_t* value) {
    std::int32_t data = -1;
    if (read_vpd_byte(offset, &data) < 0 || data < 0) {
        return -1;
    }
    *value = static_cast<std::uint8_t>(data & 0xFF);
    return 0;
}

// The environment is read from flash on this board; the I2C path is an empty transfer on bus
// 0 that moves no data byte.
int api_ubootenv_read(std::uint8_t* buffer, std::uint16_t offset, std::uint32_t length) {
    static_cast<void>(offset);
    static_cast<void>(length);
    i2c_read(0, 0, 0, 0, 0, buffer);
    return 0;
}

// ---- Test hooks ---------------------------------------------------------------------------

int i2c_bus_descriptor(int bus) {
    return i2c_file[bus];
}

void i2c_reset_for_tests() {
    for (int& fd : i2c_file) {
        if (fd > 0) {
            platform::dev_close(fd);
        }
        fd = 0;
    }
}

int i2c_set_vpd_offset_for_tests(std::uint16_t offset, std::uint8_t value) {
    return set_vpd_offset(offset, value);
}
