#include <gtest/gtest.h>

#include <array>

#include "jtag/bits.hpp"

namespace oscset::jtag {
namespace {

TEST(Bits, ReverseBits8MirrorsEveryByte) {
    for (unsigned i = 0; i < 256; ++i) {
        const auto b = static_cast<std::uint8_t>(i);
        const std::uint8_t r = reverse_bits8(b);
        for (int k = 0; k < 8; ++k) {
            ASSERT_EQ((r >> (7 - k)) & 1, (b >> k) & 1) << i;
        }
    }
    EXPECT_EQ(reverse_bits8(0x01), 0x80);
    EXPECT_EQ(reverse_bits8(0x12), 0x48);
    EXPECT_EQ(reverse_bits32(0x00000001u), 0x80000000u);
    EXPECT_EQ(reverse_bits32(0x00004000u), 0x00020000u);
    EXPECT_EQ(reverse_bits32(0x12345678u), 0x1E6A2C48u);
}

TEST(Bits, BitsExtractCountsStringBitsFromBit7OfByte0) {
    const std::array<std::uint8_t, 5> s{0x80, 0x01, 0xF0, 0x0F, 0xA5};
    struct Case {
        std::uint32_t offset, count, value;
    };
    for (const Case& x :
         {Case{0, 1, 1}, Case{1, 7, 0}, Case{7, 2, 0b00}, Case{15, 1, 1}, Case{15, 5, 0b11111},
          Case{16, 8, 0x0F}, Case{24, 8, 0xF0}, Case{0, 32, 0xF00F8001u /* mirrored */},
          Case{32, 8, 0xA5}, Case{33, 3, 0b010}}) {
        std::uint32_t expected = x.value;
        if (x.offset == 0 && x.count == 32) {
            expected = 0;
            for (int k = 0; k < 32; ++k) {
                expected |= std::uint32_t((s[k / 8] >> (7 - k % 8)) & 1) << k;
            }
        }
        EXPECT_EQ(bits_extract(s.data(), x.offset, x.count), expected)
            << x.offset << "+" << x.count;
    }
}

TEST(Bits, BytesToWordMakesBitKTheKthBitRead) {
    // IDCODE 0x00614093 read least significant bit first, stored as a string.
    const std::uint32_t id = 0x00614093;
    std::array<std::uint8_t, 4> read{};
    for (int k = 0; k < 32; ++k) {
        if ((id >> k) & 1) {
            read[k / 8] |= static_cast<std::uint8_t>(0x80 >> (k % 8));
        }
    }
    EXPECT_EQ(bytes_to_word(read.data()), id);
    EXPECT_EQ(bits_extract(read.data(), 0, 32), id);
}

TEST(Bits, DropLeadingBits) {
    struct Case {
        std::uint32_t k;
        std::array<std::uint8_t, 2> expected;
    };
    for (const Case& x : {Case{0, {0x12, 0x34}}, Case{4, {0x23, 0x45}}, Case{8, {0x34, 0x56}},
                          Case{1, {0x24, 0x68}}, Case{12, {0x45, 0x6F}}}) {
        std::array<std::uint8_t, 4> b{0x12, 0x34, 0x56, 0xF0};  // 0xF0 is past the data
        drop_leading_bits(b.data(), 2, x.k);
        EXPECT_EQ(b[0], x.expected[0]) << x.k;
        EXPECT_EQ(b[1], x.expected[1]) << x.k;
    }
}

}  // namespace
}  // namespace oscset::jtag
