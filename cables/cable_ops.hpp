#pragma once
// The one operation table through which everything above the cables reaches the JTAG port.

#include <cstdint>

namespace oscset::cable {

inline constexpr std::uint32_t DESCRIPTION_SIZE = 128;

// A cable driver: what cable_bind installs under a cable's name.
//
// shift(tdi, tdo, count, tms_during, tms_last) makes `count` TCK clocks:
// - clock i drives TDI from bit 7 - (i % 8) of tdi[i / 8] (most significant bit first), or
//   low when tdi is null;
// - TMS is tms_during (0 = low, else high) on clocks 0 .. count-2 and tms_last on the last;
// - when tdo is given, the TDO level of clock i goes to bit (i % 8) of tdo[i / 8] (least
//   significant bit first); each byte is cleared when its first bit is stored, so exactly
//   ceil(count / 8) bytes are written; with null nothing of the caller's is written;
// - one clock: TCK falls with this clock's TDI and TMS, TDO is taken after the fall (the bit
//   the target presents for this clock), TCK rises and the target samples TDI and TMS; TCK
//   rests high between clocks and between calls;
// - count 0 makes no clock and writes nothing; tdi and tdo may be the same buffer.
// The result carries no meaning for callers: a shift that failed says so through
// take_failure.
class Cable {
  public:
    // Opens the cable at `port`; writes a one-line description into `description` (a
    // DESCRIPTION_SIZE buffer) when given. 0 = success, anything else = failure.
    virtual std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) = 0;
    // Releases what open acquired.
    virtual void close() = 0;
    // Nonzero when the cable senses a powered target.
    virtual std::int32_t probe() = 0;
    virtual std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                               std::int32_t tms_during, std::int32_t tms_last) = 0;
    // True when a shift since the last call lost clocks on their way to the chain or the TDO
    // levels on their way back; the call clears it.
    virtual bool take_failure() = 0;

  protected:
    ~Cable() = default;
};

// A cable whose five operations are free functions of its own layer.
template <auto Open, auto Close, auto Probe, auto Shift, auto TakeFailure>
class FunctionCable final : public Cable {
  public:
    std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) override {
        return Open(port, speed, description);
    }
    void close() override { Close(); }
    std::int32_t probe() override { return Probe(); }
    std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       std::int32_t tms_during, std::int32_t tms_last) override {
        return Shift(tdi, tdo, count, tms_during, tms_last);
    }
    bool take_failure() override { return TakeFailure(); }
};

// The bound cable: its driver and whether its read-back bytes hold the earliest bit in
// bit 0 (then callers reverse each byte; both of the program's cables set it).
struct CableOps {
    Cable* driver = nullptr;
    std::int32_t tdo_reverse = 0;
};

}  // namespace oscset::cable
