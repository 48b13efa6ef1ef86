#pragma once
// The clock generator's control record at bus address 0, and the wait for its lock.

#include <array>
#include <cstdint>

#include "cables/status.hpp"
#include "frontend/frequency.hpp"

namespace oscset::frontend {

inline constexpr std::uint32_t CLOCK_ADDRESS = 0;
inline constexpr std::uint8_t CLOCK_LOCKED = 3;
inline constexpr int LOCK_READS = 10;
inline constexpr std::uint32_t LOCK_PAUSE_MS = 100;

// Output mode, byte 7 of the record.
inline constexpr std::uint8_t OUTPUT_DIRECT = 0;
inline constexpr std::uint8_t OUTPUT_POST_DIVIDER = 1;
inline constexpr std::uint8_t OUTPUT_DOUBLED = 2;

// div_a - 1 and div_b - 1 (16 bits each), post_div / 2 - 1 (24 bits), the output mode;
// little-endian.
using clock_params = std::array<std::uint8_t, 8>;

clock_params make_clock_params(const divider_plan& plan);

// The two operations of the FPGA's bus that the control record needs.
class BusAccess {
  public:
    virtual status_t write(std::uint32_t address, const std::uint8_t* data,
                           std::uint32_t length) = 0;
    virtual status_t read(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) = 0;

  protected:
    ~BusAccess() = default;
};

// Writes the record, then reads the status byte up to 10 times, pausing 100 ms after each
// read that does not show lock. True when lock was seen. A write that failed ends it at once
// without a lock; a read that failed shows no lock, whatever byte it left. Prints nothing.
bool program_clock(const divider_plan& plan, BusAccess& bus);

}  // namespace oscset::frontend
