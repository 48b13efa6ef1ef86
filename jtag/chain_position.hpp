#pragma once
// Where the selected device sits on the chain: every shift of the layers above accounts for
// the devices in BYPASS on either side of it.

#include <cstdint>

namespace oscset::jtag {

struct chain_position {
    std::int32_t devices_tdo_side = 0;  // devices between the selected one and TDO
    std::int32_t devices_tdi_side = 0;  // devices between TDI and the selected one
    std::int32_t ir_bits_tdo_side = 0;  // their instruction-register bits
    std::int32_t ir_bits_tdi_side = 0;
};

// The position that the last chain selection left.
const chain_position& selected_position();

}  // namespace oscset::jtag
