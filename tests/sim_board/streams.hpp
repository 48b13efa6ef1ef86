#pragma once
// Configuration streams for the tests: the payload of a vendor .bit file, and streams built
// here in the vendor's form for any Virtex-family array, with a CRC computed bit by bit.

#include <cstdint>
#include <string>
#include <vector>

namespace oscset::sim::testing {

// The CRC rule, one bit at a time: data bits 0..31, then address bits 0..3, reflected 0x8005.
std::uint16_t reference_crc(std::uint16_t crc, std::uint32_t address, std::uint32_t data);

// The 'e' field of a .bit file: 13 bytes of preamble, fields 'a'..'d' with 16-bit lengths,
// then 'e' with a 32-bit length. Empty when the file cannot be read or has no 'e' field.
std::vector<std::uint8_t> read_bit_file_stream(const std::string& path);

std::string testdata_path(const char* file);

struct StreamForm {
    std::uint32_t cor = 0x00803F2D;
    std::uint32_t flr = 13;  // frame words - 1
    std::uint32_t block0_frames = 1610;
    std::uint32_t bram_columns = 2;
    // Frame word k of the whole stream; zero frames when absent.
    std::uint32_t (*frame_word)(std::uint32_t) = nullptr;
    bool with_crc = true;
};

// The words of a stream in the form of the vendor tool: dummy, sync, RCRC, FLR, COR, MASK,
// SWITCH, FAR, WCFG, the block-0 frames and a pad frame in one type-2 FDRI write, each
// block-RAM column (the last without pad), CRC, LFRM, a flush frame, START, CTL, CRC, four
// zero words.
std::vector<std::uint32_t> build_stream_words(const StreamForm& form);
std::vector<std::uint8_t> to_bytes(const std::vector<std::uint32_t>& words);

// The form of a Spartan-II part ("2s15".."2s200").
StreamForm spartan2_form(const std::string& part);

// Big-endian word `index` of a byte stream.
std::uint32_t word_at(const std::vector<std::uint8_t>& bytes, std::size_t index);

}  // namespace oscset::sim::testing
