#pragma once
// A simulated PC printer port with the parallel cable between it and a board's JTAG
// connector. Data bits 0, 1 and 2 drive TDI, TCK and TMS; status bit 3 reads the target's
// power and bit 4 TDO; the cable loops data bit 6 back to status bit 5 and, through the
// port's inverted busy line, to status bit 7. Without the cable every status input floats
// high, as a port's pull-ups make it: the register reads 0x7F.

#include <cstdint>

#include "cables/parallel/port_io.hpp"
#include "sim/board/jtag_port.hpp"

namespace oscset::sim {

class SimPrinterPort final : public parallel::PortIo {
  public:
    explicit SimPrinterPort(JtagPort& board, std::uint16_t base = 0x378);

    // Plugs the cable in or pulls it (plugged at the start). Without it the board is not
    // driven.
    void attach_cable(bool attached) { cable_attached_ = attached; }
    // Whether this process may touch the port (granted at the start); a machine without
    // access refuses acquire.
    void grant_access(bool granted) { access_granted_ = granted; }

    // True when access is granted and `base` is this port's.
    bool acquire(std::uint16_t base) override;
    void write(std::uint16_t address, std::uint8_t value) override;
    std::uint8_t read(std::uint16_t address) override;

    std::uint8_t data() const { return data_; }
    std::uint16_t base() const { return base_; }

  private:
    std::uint8_t status() const;

    JtagPort& board_;
    std::uint16_t base_;
    bool cable_attached_ = true;
    bool access_granted_ = true;
    std::uint8_t data_ = 0;
    std::uint8_t control_ = 0;
};

}  // namespace oscset::sim
