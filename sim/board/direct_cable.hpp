#pragma once
// A cable wired straight to a simulated JTAG connector: no adapter, no printer port. It
// meets the cable contract of cables/cable_ops.hpp and reads back with the earliest bit in
// bit 0 of each byte (bind it with tdo_reverse = 1).

#include <cstdint>

#include "cables/cable_ops.hpp"
#include "sim/board/jtag_port.hpp"

namespace oscset::sim {

inline constexpr const char* DIRECT_CABLE_DESCRIPTION = "Simulated board, direct JTAG";

class DirectCable final : public cable::Cable {
  public:
    explicit DirectCable(JtagPort& port) : port_(port) {}

    // Always succeeds; writes DIRECT_CABLE_DESCRIPTION when a buffer is given.
    std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) override;
    void close() override {}
    // 1 while the target is powered, else 0.
    std::int32_t probe() override { return port_.target_power() ? 1 : 0; }
    // Returns 0.
    std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       std::int32_t tms_during, std::int32_t tms_last) override;
    // A wire loses nothing.
    bool take_failure() override { return false; }

  private:
    JtagPort& port_;
};

}  // namespace oscset::sim
