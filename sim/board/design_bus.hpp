#pragma once
// The byte-wide bus inside the board's FPGA design: the synthesiser at addresses 0..7, a RAM
// at 0x00000008..0x0000FFFF, nothing above (reads 0xFF, writes are dropped).

#include <cstdint>
#include <vector>

#include "sim/board/synthesiser.hpp"

namespace oscset::sim {

inline constexpr std::uint32_t SYNTH_ADDRESS = 0;
inline constexpr std::uint32_t SYNTH_RECORD_SIZE = 8;
inline constexpr std::uint32_t RAM_END = 0x10000;  // the RAM ends below this address
inline constexpr std::uint8_t UNMAPPED_READ = 0xFF;

class DesignBus {
  public:
    DesignBus(std::optional<std::uint32_t> lock_after_reads, EventLog& log);

    std::uint8_t read(std::uint32_t address);
    void write(std::uint32_t address, std::uint8_t value);
    // The bridge's write packet has ended: the synthesiser takes a record it touched.
    void end_of_write_packet();
    // Power-up: the design's registers and RAM start cleared.
    void reset();

    const Synthesiser& synthesiser() const { return synth_; }

  private:
    Synthesiser synth_;
    std::vector<std::uint8_t> ram_;
    bool synth_touched_ = false;
};

}  // namespace oscset::sim
