#pragma once
// The simulated board's JTAG connector as a cable sees it.

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

protected:
    ~JtagPort() = default;
};

}  // namespace oscset::sim
