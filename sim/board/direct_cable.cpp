#include "sim/board/direct_cable.hpp"

#include <cstdio>

namespace oscset::sim {

std::int32_t DirectCable::open(std::uint16_t, std::int32_t, char* description) {
    if (description != nullptr) {
        std::snprintf(description, cable::DESCRIPTION_SIZE, "%s", DIRECT_CABLE_DESCRIPTION);
    }
    return 0;
}

std::int32_t DirectCable::shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                                std::int32_t tms_during, std::int32_t tms_last) {
    // The port's bulk clocking already has the contract's bit order and aliasing rule.
    port_.clock_bits(tdi, tdo, count, tms_during != 0, tms_last != 0);
    return 0;
}

}  // namespace oscset::sim
