#pragma once
// The USB adapter's firmware: 4096 bytes of 8051 code and data, downloaded whole into an
// adapter that does not run it yet.

#include <cstdint>
#include <span>

namespace oscset::resources {

inline constexpr std::size_t EZUSB_FIRMWARE_SIZE = 4096;

std::span<const std::uint8_t> ezusb_firmware();

}  // namespace oscset::resources
