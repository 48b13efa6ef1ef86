// make_config_image <output> [<image>]
// Writes the FPGA configuration image that the program carries. Without <image>: a
// placeholder XC2S100 design, a complete raw stream (97,652 bytes) with zero frame data and
// the CRC words that the chip's check accepts. With <image>: the board's real design, a raw
// stream or a .bit file (whose header is dropped), refused unless it starts with the dummy
// byte 0xFF followed by the sync word and has the size of a Spartan-II stream.

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "jtag/config_file.hpp"

namespace {

// Stream sizes of XC2S15, XC2S30, XC2S50, XC2S100, XC2S150 and XC2S200.
constexpr std::array<std::size_t, 6> SPARTAN2_STREAM_BYTES{24'712, 42'096,  69'900,
                                                           97'652, 130'012, 166'980};

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

// The sync word follows the dummy 0xFF words. Data written for a PROM is bit-swapped in
// every byte: it starts with 0xFF too, but its sync word reads 0x5599AA66, and the chip,
// finding none, would ignore the whole stream.
constexpr std::uint32_t SYNC_WORD = 0xAA995566;
constexpr std::size_t MAX_DUMMY_BYTES = 64;

bool has_sync_word(const std::vector<std::uint8_t>& stream, const char* name) {
    std::size_t at = 0;
    while (at < stream.size() && at < MAX_DUMMY_BYTES && stream[at] == 0xFF) {
        ++at;
    }
    std::uint32_t found = 0;
    std::size_t got = 0;
    for (; got < 4 && at + got < stream.size(); ++got) {
        found = found << 8 | stream[at + got];
    }
    if (got == 4 && found == SYNC_WORD) {
        return true;
    }
    std::fprintf(stderr,
                 "OSCSET_CONFIG_IMAGE: %s: no sync word 0xAA995566 after the leading 0xFF bytes "
                 "(found 0x%0*X at byte %zu; a bit-swapped PROM file shows 0x5599AA66)\n",
                 name, static_cast<int>(2 * got), static_cast<unsigned>(found), at);
    return false;
}

bool read_design(const char* name, std::vector<std::uint8_t>& stream) {
    std::ifstream in(name, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "OSCSET_CONFIG_IMAGE: cannot read %s\n", name);
        return false;
    }
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (!bytes.empty() && bytes[0] == 0xFF) {
        stream = std::move(bytes);
    } else {
        oscset::jtag::config_file_ptr file = oscset::jtag::config_file_open(name);
        if (!file) {
            std::fprintf(stderr,
                         "OSCSET_CONFIG_IMAGE: %s is neither a raw stream nor a .bit file\n", name);
            return false;
        }
        stream.resize(file->data_length);
        if (oscset::jtag::config_file_read(*file, stream.data(), file->data_length) !=
            file->data_length) {
            std::fprintf(stderr, "OSCSET_CONFIG_IMAGE: %s holds less data than its header says\n",
                         name);
            return false;
        }
    }
    if (stream.empty() || stream[0] != 0xFF) {
        std::fprintf(stderr, "OSCSET_CONFIG_IMAGE: %s: the stream does not start with 0xFF\n",
                     name);
        return false;
    }
    if (!has_sync_word(stream, name)) {
        return false;
    }
    for (std::size_t size : SPARTAN2_STREAM_BYTES) {
        if (stream.size() == size) {
            return true;
        }
    }
    std::fprintf(stderr,
                 "OSCSET_CONFIG_IMAGE: %s: a stream of %zu bytes is no Spartan-II stream "
                 "(XC2S15 24712, XC2S30 42096, XC2S50 69900, XC2S100 97652, XC2S150 130012, "
                 "XC2S200 166980)\n",
                 name, stream.size());
    return false;
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
