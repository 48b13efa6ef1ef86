#pragma once
// Printer-port register access: 8-bit writes and reads at I/O addresses. One backend per
// platform (ppdev or direct port I/O on Linux) and a simulated printer port; the parallel
// cable above never knows which.

#include <cstdint>

#include "platform/installed.hpp"

namespace oscset::parallel {

class PortIo {
  public:
    // Gains access to the printer port whose data register is at `base` (status at base + 1,
    // control at base + 2). Called on every open of the cable; a later call for the same
    // base keeps the access already gained. True when write and read may now be used.
    virtual bool acquire(std::uint16_t base) = 0;

    // One 8-bit register access, no wait. Called only after acquire returned true; an
    // address outside the acquired port is ignored on write and reads 0xFF.
    virtual void write(std::uint16_t address, std::uint8_t value) = 0;
    virtual std::uint8_t read(std::uint16_t address) = 0;
    // True when an access since the last call did not reach the port; the call clears it.
    // Port instructions cannot fail: only a backend that goes through a driver overrides it.
    virtual bool take_failure() { return false; }

  protected:
    ~PortIo() = default;
};

// Two backends in order of preference: each acquire goes to the first one that grants
// access to that base, and the register accesses follow it until the next acquire.
class FallbackPort final : public PortIo {
  public:
    FallbackPort(PortIo& preferred, PortIo* fallback)
        : preferred_(preferred), fallback_(fallback) {}

    bool acquire(std::uint16_t base) override;
    void write(std::uint16_t address, std::uint8_t value) override;
    std::uint8_t read(std::uint16_t address) override;
    bool take_failure() override;

  private:
    PortIo& preferred_;
    PortIo* fallback_;
    PortIo* active_ = nullptr;
};

// The backend that the parallel cable uses. With none installed there is no port access.
inline constexpr auto set_port_io = platform::Installed<PortIo>::set;
inline constexpr auto port_io = platform::Installed<PortIo>::get;

// Installs this platform's hardware backend, for the program's main. On Linux: ppdev on the
// /dev/parportN whose base address matches, preferred, else direct port I/O on x86 (root or
// CAP_SYS_RAWIO). Returns false where the build has no backend (then nothing is installed).
bool install_hardware_port_io();

}  // namespace oscset::parallel
