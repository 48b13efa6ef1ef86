#pragma once
// The one bit-reversal table, for every layer that turns a byte end for end: the JTAG layer's
// read-back strings and the USB cable's byte mode.

#include <array>
#include <cstdint>

namespace oscset::platform {

inline constexpr std::array<std::uint8_t, 256> bit_reverse_table = [] {
    std::array<std::uint8_t, 256> table{};
    for (unsigned i = 0; i < table.size(); ++i) {
        unsigned r = 0;
        for (unsigned b = 0; b < 8; ++b) {
            r |= ((i >> b) & 1u) << (7 - b);
        }
        table[i] = static_cast<std::uint8_t>(r);
    }
    return table;
}();

// The byte with bit 0 exchanged with bit 7, 1 with 6, 2 with 5, 3 with 4.
constexpr std::uint8_t reverse_bits8(std::uint8_t byte) {
    return bit_reverse_table[byte];
}

}  // namespace oscset::platform
