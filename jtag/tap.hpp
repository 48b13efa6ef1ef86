#pragma once
// TAP primitives: the moves that every JTAG operation of the program is built from, for the
// one selected device (a Spartan-II, instruction register 5 bits) with every other device of
// the chain in BYPASS. Every operation returns a status word, which only jtag_load_ir makes
// nonzero (STATUS_NO_FPGA for an instruction string the chain cannot hold). A shift that the
// cable failed leaves the words alone, so that the callers that judge the chain by what it
// reads back keep doing so; it is kept for jtag_take_cable_failure instead.

#include <cstdint>

#include "cables/status.hpp"

namespace oscset::jtag {

// Spartan-II instruction codes.
inline constexpr std::uint8_t INSTRUCTION_USER1 = 2;
inline constexpr std::uint8_t INSTRUCTION_USER2 = 3;
inline constexpr std::uint8_t INSTRUCTION_CFG_OUT = 4;
inline constexpr std::uint8_t INSTRUCTION_CFG_IN = 5;
inline constexpr std::uint8_t INSTRUCTION_IDCODE = 9;
inline constexpr std::uint8_t INSTRUCTION_JSTART = 12;
inline constexpr std::uint8_t INSTRUCTION_BYPASS = 31;
inline constexpr std::int32_t SPARTAN2_IR_LENGTH = 5;
inline constexpr std::int32_t IR_STRING_BITS = 64;

// dr_flags for jtag_shift_dr, combined by OR.
inline constexpr std::uint32_t DR_EXIT = 1;           // leave through Update-DR
inline constexpr std::uint32_t DR_ENTER = 2;          // move into Shift-DR first
inline constexpr std::uint32_t DR_SKIP_TDO_SIDE = 4;  // reading: drop the TDO-side bypass bits
inline constexpr std::uint32_t DR_PAD_TDI_SIDE = 8;   // writing: push through TDI-side bypasses

// current_user_type values: the USER register left selected for shifting.
inline constexpr std::int32_t USER_TYPE_UNKNOWN = -1;
inline constexpr std::int32_t USER_TYPE_NONE = 0;

// A TMS path between TAP states: `clocks` clocks, TMS tms_during on all but the last and
// tms_last on the last.
struct TmsPath {
    std::uint32_t clocks;
    std::int32_t tms_during;
    std::int32_t tms_last;
};
// Run-Test/Idle or an Update state to Select-IR-Scan, through Select-DR-Scan.
inline constexpr TmsPath TO_SELECT_IR{2, 1, 1};
// Exit1 to Select-DR-Scan, through Update.
inline constexpr TmsPath EXIT1_TO_SELECT_DR{2, 1, 1};
// A Select state to its Shift state, through Capture.
inline constexpr TmsPath SELECT_TO_SHIFT{2, 0, 0};
// Run-Test/Idle or an Update state to Capture-DR, through Select-DR-Scan.
inline constexpr TmsPath TO_CAPTURE_DR{2, 1, 0};
// Capture-DR to Shift-DR.
inline constexpr TmsPath CAPTURE_TO_SHIFT{1, 0, 0};
// One clock with TMS high: Exit1 to Update, Shift to Exit1, Run-Test/Idle or Update to
// Select-DR-Scan.
inline constexpr TmsPath TMS_HIGH_ONCE{1, 1, 1};

// Five clocks with TMS high reach Test-Logic-Reset from any state; the sixth, low, Run-Test/Idle.
inline constexpr std::int32_t RESET_CLOCKS = 6;

// Clocks the path, with TDI low or, in a Shift state, the path's bits from `tdi`.
void jtag_move(const TmsPath& path, const std::uint8_t* tdi = nullptr);
// Where jtag_shift leaves the TAP: in the Shift state, or in Exit1 (TMS high on the last bit).
enum class ShiftEnd { STAY, EXIT1 };
// n clocks in Shift-DR or Shift-IR, TMS low until the last. Read-back bytes come out with the
// earliest bit in bit 7 of byte 0.
void jtag_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t n, ShiftEnd end);
// k-1 clocks with TMS high, one low: Run-Test/Idle from any state, through Test-Logic-Reset.
status_t jtag_reset_to_idle(std::int32_t clocks);
// k clocks with TMS low: from an Update state into Run-Test/Idle, or staying there.
status_t jtag_idle_clocks(std::int32_t clocks);
// Loads `code` into the selected device and BYPASS into all others; from Run-Test/Idle or
// an Update state, ends in Update-IR.
status_t jtag_load_ir(std::uint8_t code, std::int32_t ir_length);
// The one data-register primitive; see the flags. Read-back bytes come out with the earliest
// bit in bit 7 of byte 0.
status_t jtag_shift_dr(const std::uint8_t* tdi, std::uint8_t* tdo, std::int32_t n,
                       std::uint32_t flags);
// A complete scan of the selected device's data register (all four flags).
status_t jtag_scan_dr(const std::uint8_t* tdi, std::uint8_t* tdo, std::int32_t n);
// Loads CFG_IN and writes a packet sequence (big-endian words) so that it keeps its 32-bit
// word boundaries behind the TDI-side bypass bits.
status_t jtag_cfg_in_write(const std::uint8_t* words, std::int32_t n);
// Selects USER1 (1) or USER2 (2) and enters its Shift-DR; any other type releases.
status_t jtag_select_user(std::uint32_t type);
// Shifts through the selected USER register; with `exit` leaves through Update-DR to
// Run-Test/Idle.
status_t jtag_user_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::int32_t n,
                         std::int32_t exit);

// True when a shift failed on the cable since the last call, which clears it. The TAP may
// then stand anywhere, whatever current_user_type says.
bool jtag_take_cable_failure();

std::int32_t current_user_type();
// The configuration engine marks it unknown after it has used CFG_IN or JSTART.
void set_current_user_type(std::int32_t type);

}  // namespace oscset::jtag
