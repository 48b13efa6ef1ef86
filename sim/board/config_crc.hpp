#pragma once
// The CRC of the Virtex-family configuration logic: CRC-16 with the polynomial
// x^16 + x^15 + x^2 + 1 taken least significant bit first (reflected constant 0xA001), fed
// 36 bits per written word: data bits 0..31, then register-address bits 0..3.

#include <cstdint>

namespace oscset::sim {

// The CRC after one word `data` written to the register at `address` (its low 4 bits).
std::uint16_t config_crc_update(std::uint16_t crc, std::uint32_t address, std::uint32_t data);

}  // namespace oscset::sim
