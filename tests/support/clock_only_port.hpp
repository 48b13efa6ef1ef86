#pragma once
// A port in front of a simulated board that forwards clock() only: the bit-by-bit default of
// clock_bits, as a cable that works clock by clock sees the board.

#include "sim/board/board.hpp"
#include "sim/board/jtag_port.hpp"

namespace oscset::testing {

class ClockOnlyPort final : public sim::JtagPort {
  public:
    explicit ClockOnlyPort(sim::Board& board) : board_(board) {}
    bool clock(bool tdi, bool tms) override { return board_.clock(tdi, tms); }
    void drive(bool tck, bool tdi, bool tms) override { board_.drive(tck, tdi, tms); }
    bool tdo() const override { return board_.tdo(); }
    bool target_power() const override { return board_.target_power(); }

  private:
    sim::Board& board_;
};

}  // namespace oscset::testing
