#pragma once
// The simulated board's JTAG connector as a cable sees it.

#include <cstdint>

namespace oscset::sim {

class JtagPort {
  public:
    // One whole TCK cycle: TCK falls with TDI and TMS at these levels, the chain presents
    // TDO, TCK rises and the chain takes TDI and TMS. Returns the TDO level presented after
    // the fall. TCK rests high before and after.
    virtual bool clock(bool tdi, bool tms) = 0;

    // Pin-level access for cables that change one line at a time: sets the three inputs.
    // A rising TCK edge clocks the chain; after a falling edge tdo() shows the next bit.
    virtual void drive(bool tck, bool tdi, bool tms) = 0;
    virtual bool tdo() const = 0;

    // The target's supply as the cable's sense line sees it.
    virtual bool target_power() const = 0;

    // `count` clock() cycles at once, in the bit order of the cable contract: TDI from bit
    // 7 - (i % 8) of tdi[i / 8] (low when tdi is null), TMS tms_during on all but the last
    // clock and tms_last on it, TDO of clock i into bit (i % 8) of tdo[i / 8] when tdo is
    // given (exactly ceil(count / 8) bytes written, unused high bits 0). Each tdi byte is
    // read before the tdo byte of the same index is written, so the two may be one buffer.
    // Ports with a faster path than one clock() per bit override it.
    virtual void clock_bits(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                            bool tms_during, bool tms_last) {
        for (std::uint32_t base = 0; base < count; base += 8) {
            const std::uint8_t in = tdi != nullptr ? tdi[base / 8] : 0;
            std::uint8_t out = 0;
            for (std::uint32_t k = 0; k < 8 && base + k < count; ++k) {
                const bool tms = base + k == count - 1 ? tms_last : tms_during;
                out |= static_cast<std::uint8_t>(clock((in >> (7 - k)) & 1, tms) << k);
            }
            if (tdo != nullptr) {
                tdo[base / 8] = out;
            }
        }
    }

  protected:
    ~JtagPort() = default;
};

}  // namespace oscset::sim
