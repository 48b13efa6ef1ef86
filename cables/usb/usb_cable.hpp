#pragma once
// The USB adapter as a cable ("spc_usb2"): JTAG shifts encoded for the adapter's firmware.
// Long runs go in byte mode (eight clocks a byte, TMS held at one level); the rest goes one
// byte per clock, each byte carrying its own TMS and TDI and answered with TDO.

#include <cstdint>

#include "cables/cable_ops.hpp"

namespace oscset::usb {

inline constexpr const char* USB_DESCRIPTION_FORMAT =
    "EZ-USB No.%d : SPI(PC1=TCK,PA5=TDI,PC2=TMS,PC0=TDO,PC3=TVCC)";
inline constexpr const char* ADAPTER_MANUFACTURER = "USB_SPI";
inline constexpr const char* ADAPTER_PRODUCT = "V010";

// Per-clock byte (pipe 3) and its answer (port C levels).
inline constexpr std::uint8_t CLOCK_TDI = 0x20;
inline constexpr std::uint8_t CLOCK_TMS = 0x04;
inline constexpr std::uint8_t CLOCK_NO_EDGE = 0x02;  // TCK already high: levels only, no clock
inline constexpr std::uint8_t ANSWER_TDO = 0x01;
inline constexpr std::uint8_t ANSWER_POWER = 0x08;
// Mode commands: set TMS for the byte-mode transfers that follow, without a clock.
inline constexpr std::uint8_t MODE_TMS_LOW = CLOCK_NO_EDGE;
inline constexpr std::uint8_t MODE_TMS_HIGH = CLOCK_NO_EDGE | CLOCK_TMS;

// Boots or identifies adapter `index` and starts its reader. 0 on success, 2 otherwise
// (after "\nCan't found EZ-USB\n"). Writes the description line when `description` is given;
// `speed` is not used.
std::int32_t usb_cable_open(std::uint16_t index, std::int32_t speed, char* description);

// Stops the reader and closes the adapter's handles.
void usb_cable_close();

// 1 when the target's power sense is high; 0 when it is low or the exchange failed.
std::int32_t usb_cable_probe();

// The shift of the cable contract (cables/cable_ops.hpp). 0 for a count of 0, 1 otherwise;
// a failed transfer prints the pipes' message and is kept for usb_cable_take_failure.
std::int32_t usb_cable_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                             std::int32_t tms_during, std::int32_t tms_last);

// True when a shift since the last call (or since the open) met a failed transfer; clears it.
bool usb_cable_take_failure();

// The cable that cable_bind installs under "spc_usb2".
cable::Cable& usb_cable();

}  // namespace oscset::usb
