#pragma once
// Bit-string helpers. Bit strings hold their earliest bit in bit 7 of byte 0 ("string bit j"
// is bit 7 - j % 8 of byte j / 8), the order in which TDI bits are clocked.

#include <cstdint>

#include "platform/bit_reverse.hpp"

namespace oscset::jtag {

using platform::reverse_bits8;

// The word with bit i moved to bit 31 - i.
constexpr std::uint32_t reverse_bits32(std::uint32_t word) {
    return std::uint32_t{reverse_bits8(static_cast<std::uint8_t>(word))} << 24 |
           std::uint32_t{reverse_bits8(static_cast<std::uint8_t>(word >> 8))} << 16 |
           std::uint32_t{reverse_bits8(static_cast<std::uint8_t>(word >> 16))} << 8 |
           std::uint32_t{reverse_bits8(static_cast<std::uint8_t>(word >> 24))};
}

// Reverses the bits of each of the first `count` bytes in place.
void reverse_bytes(std::uint8_t* bytes, std::uint32_t count);

// count (at most 32) bits of the string from `offset`: bit k of the result is string bit
// offset + k.
std::uint32_t bits_extract(const std::uint8_t* bytes, std::uint32_t offset, std::uint32_t count);

// Four read-back bytes as a word: each byte bit-reversed, byte 0 the least significant. For a
// read-back string this makes bit k of the word the k-th bit read.
std::uint32_t bytes_to_word(const std::uint8_t* bytes);

// Removes the first k bits of the string in place, so that the `length` bytes that start at
// bit k move to the start of the buffer. Reads up to ceil(k / 8) bytes beyond `length`.
void drop_leading_bits(std::uint8_t* buffer, std::uint32_t length, std::uint32_t k);

}  // namespace oscset::jtag
