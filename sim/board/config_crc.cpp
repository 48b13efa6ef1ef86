#include "sim/board/config_crc.hpp"

#include <array>

namespace oscset::sim {
namespace {

constexpr std::uint16_t REFLECTED_POLY = 0xA001;

// The CRC change of `bits` input bits whose combined value with the CRC's low bits is `v`.
constexpr std::uint16_t crc_of_bits(std::uint32_t v, int bits) {
    std::uint16_t crc = static_cast<std::uint16_t>(v);
    for (int i = 0; i < bits; ++i) {
        crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ REFLECTED_POLY)
                        : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

template <int BITS>
constexpr std::array<std::uint16_t, (1u << BITS)> make_table() {
    std::array<std::uint16_t, (1u << BITS)> table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        table[i] = crc_of_bits(i, BITS);
    }
    return table;
}

constexpr auto BYTE_TABLE = make_table<8>();
constexpr auto NIBBLE_TABLE = make_table<4>();

}  // namespace

std::uint16_t config_crc_update(std::uint16_t crc, std::uint32_t address, std::uint32_t data) {
    for (int byte = 0; byte < 4; ++byte) {
        const std::uint32_t in = (data >> (8 * byte)) & 0xFF;
        crc = static_cast<std::uint16_t>((crc >> 8) ^ BYTE_TABLE[(crc ^ in) & 0xFF]);
    }
    crc = static_cast<std::uint16_t>((crc >> 4) ^ NIBBLE_TABLE[(crc ^ address) & 0xF]);
    return crc;
}

}  // namespace oscset::sim
