// The board's two I2C adapters and the boot-slot bytes of the VPD EEPROM.
//
// The VPD EEPROM sits on bus 0 behind channel 3 of the multiplexer and behind a gate in the
// CPLD. Every access to one VPD byte opens that path, performs one SMBus byte transaction with
// the EEPROM and closes the path again, whatever failed on the way: between accesses the gate
// is closed and every multiplexer channel is off.
#pragma once

#include <cstdint>

// Devices on bus 0, 7-bit addresses.
inline constexpr int I2C_MUX_ADDR = 0x70;  // multiplexer: bit n of its control byte opens channel n
inline constexpr int SUMMIT_ADDR = 0x4F;   // prepared before each VPD access
inline constexpr int VPD_EEPROM_ADDR = 0x54;  // the VPD EEPROM, 8-bit byte offsets
inline constexpr int VPD_MUX_CHANNEL = 3;

// The preparation write to SUMMIT_ADDR.
inline constexpr std::uint8_t SUMMIT_REGISTER = 0x87;
inline constexpr std::uint8_t SUMMIT_VALUE = 0x55;

// VPD bytes.
inline constexpr std::uint16_t VPD_IMAGE_OFFSET = 1;    // application slot to boot, 1 or 2
inline constexpr std::uint16_t VPD_BOOTED_OFFSET = 59;  // image booted: 1, 2, or 4 for flash

// CPLD register offsets in "/dev/lamel/cpld_mmmap"; bit 0 of each matters.
inline constexpr int CPLD_VPD_CONTROL = 20;  // 1 opens the VPD path, 0 closes it
inline constexpr int CPLD_VPD_STATUS = 24;   // reads 1 once the gate has switched

// Opens /dev/i2c-0, then /dev/i2c-1: 0 when both are open, -1 at the first failure (bus 1 is
// not tried when bus 0 fails).
int api_i2c_init();
// Closes both buses; always 0. Safe to call twice.
int api_i2c_close();

// The byte at VPD_IMAGE_OFFSET (0 to 255); 0xFF when it could not be read.
unsigned int api_get_image();
// Writes the slot to boot / the image booted: 0 or more on success, negative on failure.
int api_set_image(std::uint8_t slot);
int api_set_booted_image(std::uint8_t value);

// Reads the VPD byte at the low 8 bits of `offset` into buffer[0] (0xFF when it could not be
// read); `length` is not used. Negative when the EEPROM could not be selected, else 0.
int api_eeprom_read(std::uint8_t* buffer, std::uint16_t offset, std::uint32_t length);

// Any VPD byte, for the board's own records beside the boot-slot bytes (the security floor): the
// same path and transaction as the slot bytes. Negative when the byte could not be written, or
// could not be read (the EEPROM not selected or the read transaction failed); else 0.
int vpd_write_byte(std::uint16_t offset, std::uint8_t value);
int vpd_read_byte(std::uint16_t offset, std::uint8_t* value);

// An empty transfer on bus 0: sends and receives nothing and returns 0. Kept for the boot
// loader environment's I2C path, which this board does not use (it reads it from flash).
int api_ubootenv_read(std::uint8_t* buffer, std::uint16_t offset, std::uint32_t length);
