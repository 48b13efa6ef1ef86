#pragma once
// A Spartan-II configuration stream judged as the chip would take it: the sync word behind
// the leading dummy bytes, whole packets, and CRC checks that pass and cover every write.
// Shared by the program (design files, before the FPGA is touched) and the build (the image
// it carries).

#include <cstddef>
#include <cstdint>
#include <span>

namespace oscset::jtag {

inline constexpr std::uint8_t STREAM_DUMMY_BYTE = 0xFF;  // a raw stream starts with its dummy word
inline constexpr std::uint32_t SYNC_WORD = 0xAA995566;
inline constexpr std::uint32_t BIT_SWAPPED_SYNC_WORD = 0x5599AA66;  // every byte mirrored (PROM data)
inline constexpr std::size_t MAX_DUMMY_BYTES = 64;

enum class StreamFault {
    NONE,
    NO_SYNC,        // no sync word at a word boundary behind the leading 0xFF bytes
    BIT_SWAPPED,    // the sync word mirrored in every byte: a stream written for a PROM
    BROKEN_PACKET,  // a header the chip does not know, or data beyond the stream's end
    CRC_MISMATCH,   // a CRC check that the chip would fail
    UNCHECKED,      // writes after the last CRC check (or none at all)
};

struct StreamVerdict {
    StreamFault fault = StreamFault::NONE;
    std::size_t at = 0;  // the stream byte where it was found
};

StreamVerdict check_stream(std::span<const std::uint8_t> stream);

}  // namespace oscset::jtag
