#pragma once
// Test-side JTAG: the clock sequences of IEEE 1149.1, one clock() of the port at a time, and
// the chain arithmetic of devices left in BYPASS around one target device.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/board/jtag_port.hpp"

namespace oscset::sim::testing {

class TestJtag {
  public:
    explicit TestJtag(JtagPort& port) : port_(port) {}

    bool clock(bool tms, bool tdi = false) { return port_.clock(tdi, tms); }
    // Five clocks with TMS high reach Test-Logic-Reset from any state; one low enters
    // Run-Test/Idle.
    void reset_to_idle();
    // From Run-Test/Idle or an Update state.
    void to_shift_ir();
    void to_shift_dr();
    // From Exit1: Update, then Run-Test/Idle.
    void update_to_idle();

    // Shifts bits in clock order; the last with TMS high when `exit`. Returns TDO per clock.
    std::vector<bool> shift(const std::vector<bool>& bits, bool exit);
    // Up to 64 bits, least significant first in and out.
    std::uint64_t shift_value(std::uint64_t value, int bits, bool exit);
    // Bytes, most significant bit first; returns the bytes read back in the same order.
    std::vector<std::uint8_t> shift_bytes(std::span<const std::uint8_t> bytes, bool exit);
    void shift_zeros(std::uint64_t bits, bool exit);

    // A whole instruction scan and data scan from Run-Test/Idle back to Run-Test/Idle.
    void load_ir(std::uint64_t bits, int length);
    std::uint64_t scan_dr(std::uint64_t value, int bits);

  private:
    JtagPort& port_;
};

// One target device in a chain whose other devices all get BYPASS.
struct ChainTarget {
    std::vector<int> ir_lengths;  // from the TDO end
    std::size_t target = 0;

    int total_ir() const;
    std::size_t tdo_side() const { return target; }
    std::size_t tdi_side() const { return ir_lengths.size() - 1 - target; }
    // The whole instruction string: ones everywhere, `code` in the target's bits.
    std::uint64_t ir_bits(std::uint32_t code) const;
};

// A Spartan-II alone on the chain.
inline const ChainTarget ALONE{{5}, 0};

// A chain of parts, named from the TDO end, and the index of the target among them.
struct ChainRow {
    std::vector<std::string> chain;
    std::size_t target;
};
// Its instruction lengths, from the parts' catalogue.
ChainTarget chain_target(const ChainRow& row);

// Scans through the target of a chain.
class TargetJtag {
  public:
    TargetJtag(JtagPort& port, ChainTarget chain) : jtag_(port), chain_(std::move(chain)) {}

    TestJtag& jtag() { return jtag_; }
    const ChainTarget& chain() const { return chain_; }

    void load_ir(std::uint32_t code);
    // Writes configuration words through CFG_IN: zero lead bits so that the bypass zeros
    // and the lead make one zero word ahead of the packets, trailing bits that push the
    // last packet bit into the target; from Run-Test/Idle to Run-Test/Idle.
    void cfg_in_write(std::span<const std::uint8_t> bytes);
    void cfg_in_words(std::span<const std::uint32_t> words);
    // The status register: CFG_IN read packet, then a 33-bit CFG_OUT scan whose first bit is
    // a pad. Returns the 33 bits as read, first bit in bit 32.
    std::uint64_t read_status_bits();
    std::uint32_t read_status();
    // JSTART, then `clocks` clocks in Shift-DR, Update-DR, Run-Test/Idle.
    void jstart(int clocks);
    // The whole configuration sequence the host uses for a blank FPGA.
    void configure(std::span<const std::uint8_t> stream);

  private:
    TestJtag jtag_;
    ChainTarget chain_;
};

}  // namespace oscset::sim::testing
