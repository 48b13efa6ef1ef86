#pragma once
// The Spartan-II parts: their IDCODEs and the size of a configuration stream for each.

#include <array>
#include <cstdint>

#include "jtag/device_table.hpp"

namespace oscset::jtag {

struct Spartan2Part {
    std::uint32_t idcode;  // version field 0
    const char* name;
    std::uint32_t stream_bytes;  // a whole stream: every frame, both block RAM columns
};

inline constexpr std::array<Spartan2Part, 6> SPARTAN2_PARTS{{
    {0x00608093, "XC2S15", 24'712},
    {0x0060C093, "XC2S30", 42'096},
    {0x00610093, "XC2S50", 69'900},
    {0x00614093, "XC2S100", 97'652},
    {0x00618093, "XC2S150", 130'012},
    {0x0061C093, "XC2S200", 166'980},
}};

// The part of an IDCODE (version ignored), or null.
constexpr const Spartan2Part* spartan2_part(std::uint32_t idcode) {
    for (const Spartan2Part& part : SPARTAN2_PARTS) {
        if ((idcode & IDCODE_VERSION_MASK) == part.idcode) {
            return &part;
        }
    }
    return nullptr;
}

}  // namespace oscset::jtag
