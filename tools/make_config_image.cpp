// make_config_image <output> [<image>]
// Writes the FPGA configuration image that the program carries. Without <image>: a
// placeholder XC2S100 design, a complete raw stream (97,652 bytes) with zero frame data and
// the CRC words that the chip's check accepts. With <image>: the board's real design, a raw
// stream or a .bit file (whose header is dropped), refused unless the chip would take its
// stream, as the program refuses a design file.

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "jtag/config_file.hpp"
#include "jtag/config_stream.hpp"

namespace {

enum : std::uint32_t {
    REG_CRC = 0,
    REG_FAR = 1,
    REG_FDRI = 2,
    REG_CMD = 4,
    REG_CTL = 5,
    REG_MASK = 6,
    REG_COR = 9,
    REG_FLR = 11,
};
enum : std::uint32_t { CMD_WCFG = 1, CMD_LFRM = 3, CMD_START = 5, CMD_RCRC = 7, CMD_SWITCH = 9 };

constexpr std::uint32_t type1_write(std::uint32_t reg, std::uint32_t count) {
    return 1u << 29 | 2u << 27 | reg << 13 | count;
}
constexpr std::uint32_t type2_write(std::uint32_t count) {
    return 2u << 29 | 2u << 27 | count;
}

class Stream {
  public:
    void word(std::uint32_t w) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(w >> shift));
        }
    }
    // A data word written to `reg`: the chip folds the word, then the register address,
    // least significant bit first into its CRC-16 (0x8005, reflected).
    void data(std::uint32_t reg, std::uint32_t w) {
        word(w);
        std::uint64_t v = std::uint64_t{reg} << 32 | w;
        for (int i = 0; i < 36; ++i, v >>= 1) {
            crc_ = ((v ^ crc_) & 1) != 0 ? static_cast<std::uint16_t>((crc_ >> 1) ^ 0xA001)
                                         : static_cast<std::uint16_t>(crc_ >> 1);
        }
    }
    void write(std::uint32_t reg, std::uint32_t w) {
        word(type1_write(reg, 1));
        data(reg, w);
        if (reg == REG_CMD && w == CMD_RCRC) {
            crc_ = 0;
        }
    }
    void frames(std::uint32_t reg, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            data(reg, 0);  // the placeholder design: every frame bit 0
        }
    }
    // The check word leaves the chip's CRC at 0 when it equals the running value.
    void check() { write(REG_CRC, crc_); }

    std::vector<std::uint8_t> bytes;

  private:
    std::uint16_t crc_ = 0;
};

std::vector<std::uint8_t> placeholder_xc2s100() {
    Stream s;
    s.word(0xFFFFFFFF);  // dummy
    s.word(0xAA995566);  // sync
    s.write(REG_CMD, CMD_RCRC);
    s.write(REG_FLR, 13);  // 14-word frames
    s.write(REG_COR, 0x00803F2D);
    s.write(REG_MASK, 0);
    s.write(REG_CMD, CMD_SWITCH);
    s.write(REG_FAR, 0);
    s.write(REG_CMD, CMD_WCFG);
    s.word(type1_write(REG_FDRI, 0));
    s.word(type2_write(22'554));  // 1,610 frames and the pad frame
    s.frames(REG_FDRI, 22'554);
    s.write(REG_FAR, 0x02000000);  // block RAM column 0
    s.word(type1_write(REG_FDRI, 910));
    s.frames(REG_FDRI, 910);
    s.write(REG_FAR, 0x02020000);  // block RAM column 1
    s.word(type1_write(REG_FDRI, 896));
    s.frames(REG_FDRI, 896);
    s.check();
    s.write(REG_CMD, CMD_LFRM);
    s.word(type1_write(REG_FDRI, 14));
    s.frames(REG_FDRI, 14);  // the flush frame
    s.write(REG_CMD, CMD_START);
    s.write(REG_CTL, 0);
    s.check();
    for (int i = 0; i < 4; ++i) {
        s.word(0);
    }
    return s.bytes;
}

// The board's design, judged as the program judges a design file, for any Spartan-II part.
bool read_design(const char* name, std::vector<std::uint8_t>& stream) {
    std::string problem;
    const oscset::jtag::config_file_ptr file = oscset::jtag::config_file_load(name, 0, problem);
    if (!file) {
        std::fprintf(stderr, "OSCSET_CONFIG_IMAGE: %s", problem.c_str());
        return false;
    }
    const std::span<const std::uint8_t> data = oscset::jtag::config_file_stream(*file);
    stream.assign(data.begin(), data.end());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: make_config_image <output> [<raw stream or .bit file>]\n");
        return 2;
    }
    std::vector<std::uint8_t> stream;
    if (argc == 3) {
        if (!read_design(argv[2], stream)) {
            return 1;
        }
    } else {
        stream = placeholder_xc2s100();
        if (oscset::jtag::check_stream(stream).fault != oscset::jtag::StreamFault::NONE) {
            std::fprintf(stderr, "make_config_image: the placeholder fails its own check\n");
            return 1;
        }
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(stream.data()),
              static_cast<std::streamsize>(stream.size()));
    if (!out) {
        std::fprintf(stderr, "make_config_image: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
