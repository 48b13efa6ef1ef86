#pragma once
// Moves a byte string through a USER data register of the selected FPGA, accounting for the
// bypass bits of the other devices on the chain, in the foreground or on the worker thread.

#include <cstdint>

#include "cables/status.hpp"
#include "jtag/background.hpp"

namespace oscset::bridge {

inline constexpr std::uint32_t TRANSFER_BACKGROUND = jtag::LENGTH_BACKGROUND;
inline constexpr std::uint32_t USER_BLOCK_SIZE = 4096;
inline constexpr std::uint32_t USER1 = 1;
inline constexpr std::uint32_t USER2 = 2;

// type: 1 = USER1, 2 = USER2 (low 8 bits). tdi: the bytes to send, or null (TDI low). tdo:
// a buffer for the bytes read back, or null. length: the caller's length word (bits 30..0
// bytes, bit 31 asks for the worker thread, which counts the word down as blocks complete),
// or null to select only; a null length with any other type releases the USER register.
// With other devices on the chain, tdi is read and tdo written one byte beyond the count.
// The buffers stay in use until the transfer has ended. A shift of this transfer that failed
// on the cable stops it before its next block and adds STATUS_CABLE_FAILED.
status_t user_transfer(std::uint32_t type, const std::uint8_t* tdi, std::uint8_t* tdo,
                       std::uint32_t* length);

}  // namespace oscset::bridge
