#pragma once
// A cable in front of another that notes, for every shift, what went to the chain and where
// the simulated board stood before and after: enough to tell scans, instruction loads and
// resets apart without changing a single clock.

#include <cstdint>
#include <vector>

#include "cables/cable_ops.hpp"
#include "sim/board/board.hpp"

namespace oscset::testing {

struct ObservedShift {
    std::uint32_t count = 0;
    bool tms_during = false;
    bool tms_last = false;
    bool has_tdi = false;
    std::vector<std::uint8_t> tdi;  // the ceil(count / 8) bytes given, when given
    bool reads_tdo = false;
    sim::TapState state_before = sim::TapState::TEST_LOGIC_RESET;
    sim::TapState state_after = sim::TapState::TEST_LOGIC_RESET;
    std::uint32_t instruction = 0;  // the watched device's, as the shift began
    std::size_t events_before = 0;  // board event lines before and after the shift
    std::size_t events_after = 0;
};

class ObservingCable final : public cable::Cable {
  public:
    // Watches the TAP and instruction of `device` (every TAP moves alike; the instruction is
    // the selected device's).
    ObservingCable(cable::Cable& inner, const sim::Board& board, std::size_t device)
        : inner_(inner), board_(board), device_(device) {}

    std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) override {
        return inner_.open(port, speed, description);
    }
    void close() override { inner_.close(); }
    std::int32_t probe() override { return inner_.probe(); }
    std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       std::int32_t tms_during, std::int32_t tms_last) override;

    // Written by whichever thread shifts; read once the program has ended.
    const std::vector<ObservedShift>& shifts() const { return shifts_; }

  private:
    sim::TapState state() const;

    cable::Cable& inner_;
    const sim::Board& board_;
    std::size_t device_;
    std::vector<ObservedShift> shifts_;
};

}  // namespace oscset::testing
