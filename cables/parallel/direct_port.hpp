#pragma once
// Direct port I/O on x86 Linux: ioperm, then the in and out instructions. Needs root or
// CAP_SYS_RAWIO; in a container ioperm fails and the port stays out of reach.

#include <cstdint>

#include "cables/parallel/port_io.hpp"

namespace oscset::parallel {

class DirectPort final : public PortIo {
  public:
    // ioperm over the port's three registers. The permission belongs to the calling thread
    // and to the threads it creates afterwards, so the cable must be opened before any
    // worker that drives it is started.
    bool acquire(std::uint16_t base) override;
    void write(std::uint16_t address, std::uint8_t value) override;
    std::uint8_t read(std::uint16_t address) override;

  private:
    bool granted_ = false;
    std::uint16_t base_ = 0;
};

}  // namespace oscset::parallel
