// I2C adapter 0 of the board: the multiplexer at 0x70, the set-up device at 0x4F and the VPD
// EEPROM at 0x54 behind channel 3 of the multiplexer and the CPLD gate. Adapter 1 is present
// and has nothing on it. i2c-dev does not probe on I2C_SLAVE: an address without a device is
// selected fine and every transaction to it is NAKed.
#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sandbox/emulators.hpp"
#include "platform/sandbox/host_os.hpp"

namespace platform::sandbox::detail {

namespace {

constexpr int kMuxAddress = 0x70;
constexpr int kSummitAddress = 0x4F;
constexpr int kEepromAddress = 0x54;
constexpr std::uint8_t kEepromChannel = 1U << 3;
constexpr off_t kEepromSize = 256;

// Shared hardware of the process: the multiplexer's control byte and the set-up device's
// registers. The gate's state is not here: it lives in the CPLD's register file.
std::uint8_t g_mux = 0;
std::array<std::uint8_t, 256> g_summit{};
std::uint8_t g_summit_pointer = 0;
std::uint8_t g_eeprom_pointer = 0;

enum class Target { nobody, mux, summit, eeprom };

Target target_of(const OpenDevice& dev) {
    if (dev.adapter != 0) {
        return Target::nobody;
    }
    switch (dev.address) {
        case kMuxAddress:
            return Target::mux;
        case kSummitAddress:
            return Target::summit;
        case kEepromAddress:
            return (g_mux & kEepromChannel) != 0 && cpld_gate_open() ? Target::eeprom
                                                                     : Target::nobody;
        default:
            return Target::nobody;
    }
}

int nak() {
    errno = ENXIO;
    return -1;
}

std::int32_t smbus_nak() {
    errno = ENXIO;
    return -ENXIO;
}

// The injected NAK fault: the EEPROM is reachable but refuses the transaction.
bool nak_fault(bool write) {
    const NakMode mode = config().i2c_nak;
    if (mode == NakMode::all || mode == (write ? NakMode::write : NakMode::read)) {
        board_log("fault", write ? "i2c nak write" : "i2c nak read");
        errno = EIO;
        return true;
    }
    return false;
}

// The EEPROM's 256 bytes, created erased (0xFF) when the board has none yet.
host::UniqueFd open_eeprom() {
    const std::string path = board_path(config().eeprom);
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        host::make_dirs(path.substr(0, slash));
    }
    host::UniqueFd fd(host::open_backing(path, O_RDWR | O_CREAT, 0644));
    if (fd.get() < 0) {
        return fd;
    }
    const off_t size = host::file_size(fd.get());
    if (size < 0 ||
        (size < kEepromSize &&
         !host::write_at(fd.get(), std::vector<std::uint8_t>(kEepromSize - size, 0xFF), size))) {
        return host::UniqueFd();
    }
    return fd;
}

bool eeprom_read(std::uint8_t offset, std::uint8_t* value) {
    const host::UniqueFd fd = open_eeprom();
    if (fd.get() < 0 || host::read_at(fd.get(), {value, 1}, offset) != 1) {
        errno = EIO;
        return false;
    }
    return true;
}

bool eeprom_write(std::uint8_t offset, std::uint8_t value) {
    static std::uint32_t writes = 0;  // to the cut's offsets, in this process
    if (config().power_cut_vpd_write != 0 && offset >= config().power_cut_vpd_offset &&
        ++writes == config().power_cut_vpd_write) {
        power_cut("VPD write " + std::to_string(writes) + " offset " + std::to_string(offset));
    }
    const host::UniqueFd fd = open_eeprom();
    if (fd.get() < 0 || !host::write_at(fd.get(), {&value, 1}, offset)) {
        errno = EIO;
        return false;
    }
    char line[48];
    std::snprintf(line, sizeof line, "offset %u value 0x%02x", unsigned{offset}, unsigned{value});
    board_log("vpd-write", line);
    return true;
}

}  // namespace

void reset_i2c() {
    g_mux = 0;
    g_summit.fill(0);
    g_summit_pointer = 0;
    g_eeprom_pointer = 0;
}

int i2c_open_adapter(int adapter, int /*flags*/) {
    if (adapter == 0 && config().i2c_missing) {
        board_log("fault", "i2c missing");
        errno = ENOENT;
        return -1;
    }
    return host::open_backing(board_path("dev/i2c-" + std::to_string(adapter)), O_RDONLY);
}

int i2c_set_address(OpenDevice& dev, int address) {
    if (address < 0 || address > 0x7F) {
        errno = EINVAL;
        return -1;
    }
    dev.address = address;
    return 0;
}

// A plain write: the multiplexer takes each byte as its control byte (the last one stays);
// the set-up device and the EEPROM take a register offset and then data.
ssize_t i2c_plain_write(OpenDevice& dev, const void* buf, std::size_t count) {
    const auto* bytes = static_cast<const std::uint8_t*>(buf);
    const Target target = target_of(dev);
    if (target == Target::nobody) {
        return nak();
    }
    if (target == Target::eeprom && nak_fault(true)) {
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i) {
        switch (target) {
            case Target::mux:
                g_mux = bytes[i];
                break;
            case Target::summit:
                if (i == 0) {
                    g_summit_pointer = bytes[i];
                } else {
                    g_summit[g_summit_pointer++] = bytes[i];
                }
                break;
            case Target::eeprom:
                if (i == 0) {
                    g_eeprom_pointer = bytes[i];
                } else if (!eeprom_write(g_eeprom_pointer++, bytes[i])) {
                    return -1;
                }
                break;
            case Target::nobody:
                break;
        }
    }
    return static_cast<ssize_t>(count);
}

ssize_t i2c_plain_read(OpenDevice& dev, void* buf, std::size_t count) {
    auto* bytes = static_cast<std::uint8_t*>(buf);
    const Target target = target_of(dev);
    if (target == Target::nobody) {
        return nak();
    }
    if (target == Target::eeprom && nak_fault(false)) {
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i) {
        switch (target) {
            case Target::mux:
                bytes[i] = g_mux;
                break;
            case Target::summit:
                bytes[i] = g_summit[g_summit_pointer++];
                break;
            case Target::eeprom:
                if (!eeprom_read(g_eeprom_pointer++, &bytes[i])) {
                    return -1;
                }
                break;
            case Target::nobody:
                break;
        }
    }
    return static_cast<ssize_t>(count);
}

// SMBus byte data, as libi2c returns it: the byte, or -errno.
std::int32_t i2c_smbus_read(OpenDevice& dev, std::uint8_t command) {
    std::uint8_t value = 0;
    switch (target_of(dev)) {
        case Target::nobody:
            return smbus_nak();
        case Target::mux:
            // The multiplexer takes the command byte as its new control byte and reads it back.
            g_mux = command;
            value = g_mux;
            break;
        case Target::summit:
            value = g_summit[command];
            g_summit_pointer = static_cast<std::uint8_t>(command + 1);
            break;
        case Target::eeprom:
            if (nak_fault(false) || !eeprom_read(command, &value)) {
                return -errno;
            }
            g_eeprom_pointer = static_cast<std::uint8_t>(command + 1);
            break;
    }
    return value;
}

std::int32_t i2c_smbus_write(OpenDevice& dev, std::uint8_t command, std::uint8_t value) {
    switch (target_of(dev)) {
        case Target::nobody:
            return smbus_nak();
        case Target::mux:
            g_mux = value;
            break;
        case Target::summit:
            g_summit[command] = value;
            g_summit_pointer = static_cast<std::uint8_t>(command + 1);
            break;
        case Target::eeprom:
            if (nak_fault(true) || !eeprom_write(command, value)) {
                return -errno;
            }
            g_eeprom_pointer = static_cast<std::uint8_t>(command + 1);
            break;
    }
    return 0;
}

}  // namespace platform::sandbox::detail
