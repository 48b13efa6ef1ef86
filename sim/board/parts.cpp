#include "sim/board/parts.hpp"

namespace oscset::sim {
namespace {

using F = PartFamily;

// IDCODE instruction codes: the PROMs' 0xFE (0x00FE in the 16-bit register of the XCF..P),
// 0x09 in the FPGAs' 5- and 6-bit registers.
constexpr std::uint16_t PROM_IDCODE = 0xFE;
constexpr std::uint16_t FPGA_IDCODE = 0x09;

// Virtex-family arrays: CLB rows x columns and block-RAM columns. Virtex and Spartan-II carry
// two block-RAM columns; the Virtex-E counts follow from each part's block-RAM total and one
// block per four CLB rows (XCV50E's four columns are confirmed by a real stream).
constexpr PartInfo CATALOGUE[] = {
    {"xcf01s", 0x05044093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"xcf02s", 0x05045093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"xcf04s", 0x05046093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"xcf08p", 0x05057093, 16, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"xcf16p", 0x05058093, 16, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"xcf32p", 0x05059093, 16, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"18v01", 0x05024093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"18v02", 0x05025093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"18v04", 0x05026093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"18v256", 0x05022093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"18v512", 0x05023093, 8, PROM_IDCODE, F::PROM, 0, 0, 0},
    {"v812em", 0x00C38093, 5, FPGA_IDCODE, F::VIRTEX_E, 56, 84, 20},
    {"v405em", 0x00C28093, 5, FPGA_IDCODE, F::VIRTEX_E, 40, 60, 14},
    {"v3200e", 0x00A68093, 5, FPGA_IDCODE, F::VIRTEX_E, 104, 156, 8},
    {"v2600e", 0x00A5C093, 5, FPGA_IDCODE, F::VIRTEX_E, 92, 138, 8},
    {"v2000e", 0x00A50093, 5, FPGA_IDCODE, F::VIRTEX_E, 80, 120, 8},
    {"v1600e", 0x00A48093, 5, FPGA_IDCODE, F::VIRTEX_E, 72, 108, 8},
    {"v1000e", 0x00A40093, 5, FPGA_IDCODE, F::VIRTEX_E, 64, 96, 6},
    {"v600e", 0x00A30093, 5, FPGA_IDCODE, F::VIRTEX_E, 48, 72, 6},
    {"v400e", 0x00A28093, 5, FPGA_IDCODE, F::VIRTEX_E, 40, 60, 4},
    {"v300e", 0x00A20093, 5, FPGA_IDCODE, F::VIRTEX_E, 32, 48, 4},
    {"v200e", 0x00A1C093, 5, FPGA_IDCODE, F::VIRTEX_E, 28, 42, 4},
    {"v100e", 0x00A14093, 5, FPGA_IDCODE, F::VIRTEX_E, 20, 30, 4},
    {"v50e", 0x00A10093, 5, FPGA_IDCODE, F::VIRTEX_E, 16, 24, 4},
    {"v1000", 0x00640093, 5, FPGA_IDCODE, F::VIRTEX, 64, 96, 2},
    {"v800", 0x00638093, 5, FPGA_IDCODE, F::VIRTEX, 56, 84, 2},
    {"v600", 0x00630093, 5, FPGA_IDCODE, F::VIRTEX, 48, 72, 2},
    {"v400", 0x00628093, 5, FPGA_IDCODE, F::VIRTEX, 40, 60, 2},
    {"v300", 0x00620093, 5, FPGA_IDCODE, F::VIRTEX, 32, 48, 2},
    {"v200", 0x0061C093, 5, FPGA_IDCODE, F::VIRTEX, 28, 42, 2},
    {"v150", 0x00618093, 5, FPGA_IDCODE, F::VIRTEX, 24, 36, 2},
    {"v100", 0x00614093, 5, FPGA_IDCODE, F::VIRTEX, 20, 30, 2},
    // The XCV50 answers with the XC2S50's IDCODE: the two are one die.
    {"v50", 0x00610093, 5, FPGA_IDCODE, F::VIRTEX, 16, 24, 2},
    {"2s200", 0x0061C093, 5, FPGA_IDCODE, F::SPARTAN2, 28, 42, 2},
    {"2s150", 0x00618093, 5, FPGA_IDCODE, F::SPARTAN2, 24, 36, 2},
    {"2s100", 0x00614093, 5, FPGA_IDCODE, F::SPARTAN2, 20, 30, 2},
    {"2s50", 0x00610093, 5, FPGA_IDCODE, F::SPARTAN2, 16, 24, 2},
    {"2s30", 0x0060C093, 5, FPGA_IDCODE, F::SPARTAN2, 12, 18, 2},
    {"2s15", 0x00608093, 5, FPGA_IDCODE, F::SPARTAN2, 8, 12, 2},
    {"3s50", 0x0140D093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s200", 0x01414093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s400", 0x0141C093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s1000", 0x01428093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s1500", 0x01434093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s2000", 0x01440093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s4000", 0x01448093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s5000", 0x01450093, 6, FPGA_IDCODE, F::SPARTAN3, 0, 0, 0},
    {"3s100e", 0x01C10093, 6, FPGA_IDCODE, F::SPARTAN3E, 0, 0, 0},
    {"3s250e", 0x01C1A093, 6, FPGA_IDCODE, F::SPARTAN3E, 0, 0, 0},
    {"3s500e", 0x01C22093, 6, FPGA_IDCODE, F::SPARTAN3E, 0, 0, 0},
    {"3s1200e", 0x01C2E093, 6, FPGA_IDCODE, F::SPARTAN3E, 0, 0, 0},
    {"3s1600e", 0x01C3A093, 6, FPGA_IDCODE, F::SPARTAN3E, 0, 0, 0},
};

// Frame contents of a Virtex-family array: one clock column of 8 frames, 48 per CLB column,
// two IOB columns of 54, and per block-RAM column 27 interconnect frames and 64 content frames.
constexpr std::uint32_t CLOCK_FRAMES = 8;
constexpr std::uint32_t CLB_FRAMES = 48;
constexpr std::uint32_t IOB_FRAMES = 2 * 54;
constexpr std::uint32_t BRAM_INTERCONNECT_FRAMES = 27;
constexpr std::uint32_t BRAM_CONTENT_FRAMES = 64;
// A frame holds 18 bits per CLB row and per IOB row above and below, rounded up to whole
// words, plus one word.
constexpr std::uint32_t FRAME_BITS_PER_ROW = 18;

}  // namespace

const PartInfo* find_part(std::string_view name) {
    for (const PartInfo& part : CATALOGUE) {
        if (name == part.name) {
            return &part;
        }
    }
    return nullptr;
}

std::span<const PartInfo> part_catalogue() {
    return CATALOGUE;
}

bool has_configuration_logic(const PartInfo& part) {
    return part.family == F::VIRTEX || part.family == F::VIRTEX_E || part.family == F::SPARTAN2;
}

FrameGeometry frame_geometry(const PartInfo& part) {
    const std::uint32_t bits = FRAME_BITS_PER_ROW * (part.clb_rows + 2u);
    const std::uint32_t words = (bits + 31) / 32 + 1;
    const std::uint32_t frames =
        CLOCK_FRAMES + CLB_FRAMES * part.clb_columns + IOB_FRAMES +
        (BRAM_INTERCONNECT_FRAMES + BRAM_CONTENT_FRAMES) * part.bram_columns;
    return FrameGeometry{words, words - 1, frames};
}

}  // namespace oscset::sim
