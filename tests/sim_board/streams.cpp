#include "tests/sim_board/streams.hpp"

#include <fstream>
#include <iterator>

namespace oscset::sim::testing {

std::uint16_t reference_crc(std::uint16_t crc, std::uint32_t address, std::uint32_t data) {
    std::uint64_t v = (static_cast<std::uint64_t>(address & 0xF) << 32) | data;
    for (int i = 0; i < 36; ++i) {
        if ((v ^ crc) & 1) {
            crc = static_cast<std::uint16_t>((crc >> 1) ^ 0xA001);
        } else {
            crc = static_cast<std::uint16_t>(crc >> 1);
        }
        v >>= 1;
    }
    return crc;
}

std::vector<std::uint8_t> read_bit_file_stream(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> d{std::istreambuf_iterator<char>(in),
                                      std::istreambuf_iterator<char>()};
    std::size_t i = 13;
    while (i + 3 <= d.size()) {
        const std::uint8_t key = d[i++];
        if (key == 'e') {
            if (i + 4 > d.size()) {
                return {};
            }
            const std::size_t n = (std::size_t{d[i]} << 24) | (std::size_t{d[i + 1]} << 16) |
                                  (std::size_t{d[i + 2]} << 8) | d[i + 3];
            i += 4;
            if (i + n > d.size()) {
                return {};
            }
            return {d.begin() + static_cast<std::ptrdiff_t>(i),
                    d.begin() + static_cast<std::ptrdiff_t>(i + n)};
        }
        const std::size_t n = (std::size_t{d[i]} << 8) | d[i + 1];
        i += 2 + n;
    }
    return {};
}

std::string testdata_path(const char* file) {
    return std::string(OSCSET_TESTDATA_DIR) + "/" + file;
}

namespace {

std::uint32_t hdr1_write(std::uint32_t reg, std::uint32_t count) {
    return (1u << 29) | (2u << 27) | (reg << 13) | count;
}

class Builder {
  public:
    void raw(std::uint32_t w) { words.push_back(w); }
    void write(std::uint32_t reg, std::uint32_t value) {
        raw(hdr1_write(reg, 1));
        data(reg, value);
    }
    void data(std::uint32_t reg, std::uint32_t value) {
        raw(value);
        if (reg != 8) {
            crc = reference_crc(crc, reg, value);
        }
        if (reg == 4 && value == 7) {
            crc = 0;
        }
    }
    void check_crc(bool with_crc) {
        raw(hdr1_write(0, 1));
        raw(with_crc ? crc : 0);
        crc = 0;
    }

    std::vector<std::uint32_t> words;
    std::uint16_t crc = 0;
};

}  // namespace

std::vector<std::uint32_t> build_stream_words(const StreamForm& f) {
    constexpr std::uint32_t FDRI = 2;
    const std::uint32_t frame_words = f.flr + 1;
    std::uint32_t next_frame_word = 0;
    auto frame = [&](Builder& b, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            b.data(FDRI, f.frame_word != nullptr ? f.frame_word(next_frame_word) : 0);
            ++next_frame_word;
        }
    };
    Builder b;
    b.raw(0xFFFFFFFF);
    b.raw(0xAA995566);
    b.write(4, 7);  // RCRC
    b.write(11, f.flr);
    b.write(9, f.cor);
    b.write(6, 0);  // MASK
    b.write(4, 9);  // SWITCH
    b.write(1, 0);  // FAR
    b.write(4, 1);  // WCFG
    b.raw(hdr1_write(FDRI, 0));
    const std::uint32_t block0 = (f.block0_frames + 1) * frame_words;
    b.raw((2u << 29) | (2u << 27) | block0);
    frame(b, block0);
    for (std::uint32_t col = 0; col < f.bram_columns; ++col) {
        b.write(1, 0x02000000 | (col << 17));
        const std::uint32_t n = (col + 1 < f.bram_columns ? 65 : 64) * frame_words;
        b.raw(hdr1_write(FDRI, n));
        frame(b, n);
    }
    b.check_crc(f.with_crc);
    b.write(4, 3);  // LFRM
    b.raw(hdr1_write(FDRI, frame_words));
    frame(b, frame_words);
    b.write(4, 5);  // START
    b.write(5, 0);  // CTL
    b.check_crc(f.with_crc);
    for (int i = 0; i < 4; ++i) {
        b.raw(0);
    }
    return b.words;
}

std::vector<std::uint8_t> to_bytes(const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(words.size() * 4);
    for (std::uint32_t w : words) {
        for (int s = 24; s >= 0; s -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(w >> s));
        }
    }
    return bytes;
}

StreamForm spartan2_form(const std::string& part) {
    struct Row {
        const char* name;
        std::uint32_t flr;
        std::uint32_t block0;
    };
    // FLR and block-0 frames of each size, as the vendor's streams carry them.
    static constexpr Row ROWS[] = {{"2s15", 6, 746},    {"2s30", 8, 1034},   {"2s50", 11, 1322},
                                   {"2s100", 13, 1610}, {"2s150", 15, 1898}, {"2s200", 17, 2186}};
    StreamForm f;
    for (const Row& r : ROWS) {
        if (part == r.name) {
            f.flr = r.flr;
            f.block0_frames = r.block0;
        }
    }
    return f;
}

std::uint32_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t index) {
    const std::size_t i = index * 4;
    return (std::uint32_t{bytes[i]} << 24) | (std::uint32_t{bytes[i + 1]} << 16) |
           (std::uint32_t{bytes[i + 2]} << 8) | bytes[i + 3];
}

}  // namespace oscset::sim::testing
