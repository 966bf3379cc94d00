#include "base/interrupt.hpp"

std::atomic<std::uint8_t> sig_quit_raised{0};
