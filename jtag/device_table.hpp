#pragma once
// The known Xilinx parts: matched against the IDCODEs on the chain and against the part
// field of configuration files.

#include <cstdint>
#include <span>

namespace oscset::jtag {

struct DeviceRow {
    const char* name;      // null in the terminating row
    std::uint32_t idcode;  // version field 0
    std::int32_t ir_length;
    std::int32_t flags;  // carried, consulted by nothing
};

inline constexpr std::uint32_t IDCODE_VERSION_MASK = 0x0FFFFFFF;  // ignores the version nibble
inline constexpr std::size_t DEVICE_TABLE_ROWS = 51;

// The 51 rows in table order, then the terminating row. Searches take the first row that fits.
std::span<const DeviceRow> device_table();

}  // namespace oscset::jtag
