#include "jtag/bits.hpp"

#include <cstring>

namespace oscset::jtag {

void reverse_bytes(std::uint8_t* bytes, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        bytes[i] = reverse_bits8(bytes[i]);
    }
}

std::uint32_t bits_extract(const std::uint8_t* bytes, std::uint32_t offset, std::uint32_t count) {
    std::uint32_t value = 0;
    for (std::uint32_t k = 0; k < count && k < 32; ++k) {
        const std::uint32_t j = offset + k;
        value |= std::uint32_t{(bytes[j / 8] >> (7 - j % 8)) & 1u} << k;
    }
    return value;
}

std::uint32_t bytes_to_word(const std::uint8_t* bytes) {
    return std::uint32_t{reverse_bits8(bytes[0])} | std::uint32_t{reverse_bits8(bytes[1])} << 8 |
           std::uint32_t{reverse_bits8(bytes[2])} << 16 |
           std::uint32_t{reverse_bits8(bytes[3])} << 24;
}

void drop_leading_bits(std::uint8_t* buffer, std::uint32_t length, std::uint32_t k) {
    if (k == 0) {
        return;
    }
    const std::uint32_t q = k / 8;
    const std::uint32_t r = k % 8;
    if (r == 0) {
        std::memmove(buffer, buffer + q, length);
        return;
    }
    const std::uint8_t* src = buffer + q;
    for (std::uint32_t i = 0; i < length; ++i) {
        const unsigned pair = unsigned{src[i]} << 8 | src[i + 1];
        buffer[i] = static_cast<std::uint8_t>(pair >> (8 - r));
    }
}

}  // namespace oscset::jtag
