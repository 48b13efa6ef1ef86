#pragma once
// The parallel cable on the printer port ("spc_xpar"): the program drives the cable's lines
// itself through the data register and reads them back through the status register.

#include <cstdint>

#include "cables/cable_ops.hpp"

namespace oscset::parallel {

inline constexpr std::uint16_t XPAR_DEFAULT_IO_BASE = 0x378;

// Data register bits.
inline constexpr std::uint8_t XPAR_TDI = 0x01;
inline constexpr std::uint8_t XPAR_TCK = 0x02;
inline constexpr std::uint8_t XPAR_TMS = 0x04;
inline constexpr std::uint8_t XPAR_IDLE = 0x10;   // data bit 4, held at 1 in every write
inline constexpr std::uint8_t XPAR_SENSE = 0x40;  // presence-test drive, looped back by the cable

// Status register bits.
inline constexpr std::uint8_t XPAR_POWER = 0x08;
inline constexpr std::uint8_t XPAR_TDO = 0x10;
inline constexpr std::uint8_t XPAR_LOOP = 0x20;           // reads data bit 6
inline constexpr std::uint8_t XPAR_LOOP_INVERTED = 0x80;  // reads its inverse

// Opens the cable at I/O base `port` (0 = 0x378); the speed is ignored. Writes the
// description line into `description` when given, gains port access and runs the presence
// test. 0 on success; 1, with a message, when there is no port access or no cable answers.
std::int32_t xpar_open(std::uint16_t port, std::int32_t speed, char* description);

// Nothing to release: port access lasts until the process ends.
void xpar_close();

// 1 when the cable senses a powered target, else 0.
std::int32_t xpar_probe();

// The shift of cable_ops.hpp, two data-register writes per clock and, with `tdo`, one
// status read between them; no waits. Always 0.
std::int32_t xpar_shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                        std::int32_t tms_during, std::int32_t tms_last);

// True when a port access since the last call did not reach the port; clears it.
bool xpar_take_failure();

// The cable that cable_bind installs under "spc_xpar": the operations above.
cable::Cable& xpar_cable();

}  // namespace oscset::parallel
