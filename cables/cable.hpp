#pragma once
// Cable selection: the cable id, binding a cable by name, and its open and close.

#include <cstdint>

#include "cables/cable_ops.hpp"
#include "cables/status.hpp"

namespace oscset::cable {

// Cable id: kind in bits 31..16, port in bits 15..0 (adapter index, or printer-port I/O base
// with 0 meaning 0x378); 0 selects automatically.
inline constexpr std::uint32_t CABLE_AUTOMATIC = 0;
inline constexpr std::uint32_t CABLE_KIND_USB = 1;
inline constexpr std::uint32_t CABLE_KIND_PARALLEL = 2;
inline constexpr std::uint32_t CABLE_FIRST_USB = 0x00010000;
inline constexpr std::uint32_t CABLE_PARALLEL_378 = 0x00020378;
inline constexpr std::int32_t CABLE_SPEED = 115200;  // handed to open; no cable uses it

inline constexpr const char* USB_CABLE_NAME = "spc_usb2";
inline constexpr const char* PARALLEL_CABLE_NAME = "spc_xpar";

// Closes any open cable, then binds and opens the cable of `id`. 0 on success;
// STATUS_UNKNOWN_CABLE for an unknown kind or name; STATUS_NO_CABLE when the cable's open
// fails. Id 0 tries the first USB adapter, then the parallel cable at 0x378.
status_t cable_open(std::uint32_t id);

// The id a user names in words: "usb" (the first adapter), "usb:N" (adapter N), "parallel" or
// "parallel:0x378" (the printer-port cable at that I/O base), "auto". False for anything else.
bool cable_id_from_text(const char* text, std::uint32_t& id);

// Closes the open cable, if there is one. Always 0.
status_t cable_close();

// Fills the operation table with the cable of that name ("spc_usb2" or "spc_xpar"): 0, or -1
// for any other name, leaving the table as it was.
std::int32_t cable_bind(const char* name);

// 1 from a successful cable_open until the next cable_close.
std::int32_t cable_is_open();

// The bound cable. Its operations are called only while cable_is_open is 1.
const CableOps& cable_ops();

inline std::int32_t cable_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                                std::int32_t tms_during, std::int32_t tms_last) {
    return cable_ops().driver->shift(tdi, tdo, count, tms_during, tms_last);
}
inline bool cable_take_failure() {
    return cable_ops().driver->take_failure();
}

// Puts another driver behind a cable name, for tests and simulations (nullptr restores the
// cable's own driver). Takes effect at the next binding. False for an unknown name.
bool cable_set_driver(const char* name, Cable* driver, std::int32_t tdo_reverse = 1);

// Installs the hardware backend that each kind of cable runs on, for the program (tests and
// simulations install their own).
void install_hardware_backends();

}  // namespace oscset::cable
