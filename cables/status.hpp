#pragma once
// Status words: the result of cable selection, chain, configuration and bridge operations.
// 0 is success; flags combine with bitwise OR as results travel up.

#include <cstdint>

namespace oscset {

using status_t = std::uint32_t;

inline constexpr status_t STATUS_OK = 0;
inline constexpr status_t STATUS_UNKNOWN_CABLE = 0x80000000;    // kind or name not known
inline constexpr status_t STATUS_NO_CABLE = 0x40000000;         // open failed, or none open
inline constexpr status_t STATUS_CABLE_FAILED = 0x20000000;     // a shift did not reach the chain
inline constexpr status_t STATUS_FILE_ERROR = 0x10000000;       // configuration file unreadable
inline constexpr status_t STATUS_BUSY = 0x08000000;             // background operation pending
inline constexpr status_t STATUS_NO_FPGA = 0x00800000;          // no usable Spartan-II on the chain
inline constexpr status_t STATUS_NO_TARGET_POWER = 0x00400000;  // the cable senses no target
inline constexpr status_t STATUS_NO_LENGTH = 0x00008000;        // source given without length
inline constexpr status_t STATUS_NOT_CONFIGURED = 0x00000001;   // configuration incomplete

}  // namespace oscset
