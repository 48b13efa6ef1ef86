#pragma once
// The catalogue of parts that the simulated board can carry on its JTAG chain: facts about
// real Xilinx devices (IDCODE, instruction register, configuration-memory array).

#include <cstdint>
#include <span>
#include <string_view>

namespace oscset::sim {

enum class PartFamily : std::uint8_t {
    PROM,       // XC18V and XCF configuration PROMs
    VIRTEX,     // XCV
    VIRTEX_E,   // XCV..E and XCV..EM
    SPARTAN2,   // XC2S
    SPARTAN3,   // XC3S
    SPARTAN3E,  // XC3S..E
};

struct PartInfo {
    const char* name;                  // chain name, e.g. "2s100"
    std::uint32_t idcode;              // version nibble (bits 31..28) 0
    std::uint8_t ir_length;            // instruction register, bits
    std::uint16_t idcode_instruction;  // the code that Test-Logic-Reset selects
    PartFamily family;
    // The configuration-memory array of the Virtex-family FPGAs (0 for other parts).
    std::uint8_t clb_rows;
    std::uint8_t clb_columns;
    std::uint8_t bram_columns;
};

// Frames of a Virtex-family configuration memory.
struct FrameGeometry {
    std::uint32_t frame_words;  // 32-bit words per frame
    std::uint32_t flr;          // the frame length register's value: frame_words - 1
    std::uint32_t frames;       // frames of the whole array (without pad frames)
};

// The part with this chain name, or null when the catalogue has none.
const PartInfo* find_part(std::string_view name);

std::span<const PartInfo> part_catalogue();

// True for the FPGAs whose configuration logic the board models (Virtex, Virtex-E,
// Spartan-II: one packet processor, one CRC, 5-bit instruction register).
bool has_configuration_logic(const PartInfo& part);

// Only meaningful when has_configuration_logic(part).
FrameGeometry frame_geometry(const PartInfo& part);

}  // namespace oscset::sim
