// The device tree qemu's e500 machine makes for its kernel, with its UARTs' clock set so that the
// speeds the kernel sets reach the host's serial line.
//
// qemu's model of those UARTs divides a baud base of 399193 where its device tree gives the kernel
// a 400 MHz clock (a baud base of 25000000), so the speed it would pass on to the host's line from
// the kernel's divisor is a sixty-third of the one asked for; and it passes a speed on as the
// next standard one at most a tenth above it. With a clock of 7372800 Hz (a baud base of 460800)
// the kernel's divisors land where they should: 115200 bit/s divides by 4 (399193 / 4 = 99798,
// passed on as 115200), 9600 by 48 (8316, passed on as 9600).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace mpboard {

inline constexpr std::uint32_t E500_UART_CLOCK = 7372800;

// Sets the 32-bit "clock-frequency" of every node named serial@... in a flattened device tree
// (the kernel's dtb format), in place; returns how many it set. Fails on a tree it cannot walk.
std::size_t set_uart_clocks(std::vector<std::uint8_t>& dtb, std::uint32_t hz);

}  // namespace mpboard
