#pragma once
// Chain discovery: measures the chain, names its devices from the device table, selects the
// first Spartan-II from the TDO end and confirms it by its IDCODE. Devices are numbered from
// the TDO end: device 0's IDCODE leaves TDO first.

#include <cstdint>
#include <span>

#include "cables/status.hpp"
#include "jtag/chain_position.hpp"

namespace oscset::jtag {

inline constexpr std::int32_t MAX_CHAIN_DEVICES = 8;
inline constexpr std::int32_t CAPTURE_BITS = 64;
// A TDO that never reads high must not keep the device count going.
inline constexpr std::int32_t DEVICE_COUNT_BOUND = 64;

struct ChainRecord {
    const char* name = nullptr;   // the matching table row's name
    std::uint32_t idcode = 0;     // as read, version field included
    std::int32_t ir_length = 0;   // from the matching row
    std::uint8_t ir_capture = 0;  // low 8 bits of the captured instruction register
};

// Makes sure the chain is known and a Spartan-II selected, and refreshes selected_position.
// The first call probes and scans; later ones only recompute the position.
status_t jtag_ensure_target();

// 1 when the chain was measured and every device decoded, 0 otherwise.
std::int32_t jtag_scan_chain();

// Fills records from the captured instruction bits and the IDCODE bits: the number filled,
// or -1 when a device matches no row. A row fits only when all of its capture bits were
// captured.
std::int32_t chain_decode(ChainRecord* records, std::int32_t max_records,
                          const std::uint8_t* capture, std::int32_t capture_bits,
                          const std::uint8_t* idcodes, std::int32_t idcode_bits);

// The IDCODE of device `index` (all 32 bits), or 0 when there is no such device; sets the
// position for it.
std::uint32_t chain_select(std::int32_t index);

// The Spartan-II part name of an IDCODE (version ignored), or null.
const char* spartan2_name(std::uint32_t idcode);

// Reads the selected device's IDCODE through its instruction register.
status_t jtag_read_idcode(std::uint32_t* out);

std::span<const ChainRecord> chain_devices();  // the devices of the last scan
std::int32_t chain_device_count();
std::int32_t selected_device();  // -1 until a Spartan-II has been selected

// The USER register whose Shift-DR scan the bridge has left open (1, 2; 0 or -1 none). Kept
// by the bridge; chain discovery clears it whenever it resets the chain.
std::int32_t bridge_user_type();
void set_bridge_user_type(std::int32_t type);

// Back to the state at program start: no chain known, no USER register open. For tests that
// run the program more than once in one process.
void chain_forget();

// For tests of the layers above discovery: takes these devices as if a scan had found them,
// with `selected_index` selected (-1: none yet; chain_select then places one).
void chain_assume(std::span<const ChainRecord> found, std::int32_t selected_index = -1);

}  // namespace oscset::jtag
