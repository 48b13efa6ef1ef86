#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "resources/config_image.hpp"

namespace oscset::resources {
namespace {

std::vector<std::uint32_t> words_of(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint32_t> words;
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        words.push_back(std::uint32_t{bytes[i]} << 24 | std::uint32_t{bytes[i + 1]} << 16 |
                        std::uint32_t{bytes[i + 2]} << 8 | bytes[i + 3]);
    }
    return words;
}

// The packet processor of the chip, as far as the CRC goes: walks the packets after the sync
// word and returns the outcome of every CRC check.
std::vector<bool> crc_checks(const std::vector<std::uint32_t>& words) {
    std::vector<bool> checks;
    std::size_t i = 0;
    while (i < words.size() && words[i] != 0xAA995566) {
        ++i;
    }
    std::uint16_t crc = 0;
    std::uint32_t reg = 0;
    auto feed = [&crc](std::uint32_t address, std::uint32_t data) {
        std::uint64_t v = std::uint64_t{address} << 32 | data;
        for (int b = 0; b < 36; ++b, v >>= 1) {
            const bool feedback = ((v ^ crc) & 1) != 0;
            crc = static_cast<std::uint16_t>(crc >> 1);
            if (feedback) {
                crc ^= 0xA001;
            }
        }
    };
    for (++i; i < words.size();) {
        const std::uint32_t header = words[i++];
        const std::uint32_t type = header >> 29;
        std::uint32_t count = 0;
        if (type == 1) {
            reg = (header >> 13) & 0xF;
            count = header & 0x7FF;
        } else if (type == 2) {
            count = header & 0x07FFFFFF;
        } else {
            continue;  // zero words
        }
        for (std::uint32_t k = 0; k < count && i < words.size(); ++k) {
            const std::uint32_t data = words[i++];
            feed(reg, data);
            if (reg == 0) {
                checks.push_back(crc == 0);
            }
            if (reg == 4 && data == 7) {
                crc = 0;
            }
        }
    }
    return checks;
}

TEST(ConfigImage, IsACompleteXc2s100StreamOfTheProgramsForm) {
    const auto image = config_image();
    ASSERT_EQ(image.size(), 97'652u);
    const std::vector<std::uint32_t> w = words_of(image);
    ASSERT_EQ(w.size(), 24'413u);
    const std::vector<std::uint32_t> head{
        0xFFFFFFFF, 0xAA995566, 0x30008001, 7, 0x30016001, 13,
        0x30012001, 0x00803F2D, 0x3000C001, 0, 0x30008001, 9,
        0x30002001, 0,          0x30008001, 1, 0x30004000, 0x5000581A};
    EXPECT_EQ(std::vector<std::uint32_t>(w.begin(), w.begin() + 18), head);
    std::size_t at = 18 + 22'554;
    EXPECT_EQ(std::vector<std::uint32_t>(w.begin() + at, w.begin() + at + 3),
              (std::vector<std::uint32_t>{0x30002001, 0x02000000, 0x3000438E}));
    at += 3 + 910;
    EXPECT_EQ(std::vector<std::uint32_t>(w.begin() + at, w.begin() + at + 3),
              (std::vector<std::uint32_t>{0x30002001, 0x02020000, 0x30004380}));
    at += 3 + 896;
    EXPECT_EQ(std::vector<std::uint32_t>(w.begin() + at, w.begin() + at + 5),
              (std::vector<std::uint32_t>{0x30000001, 0xC1EA, 0x30008001, 3, 0x3000400E}));
    at += 5 + 14;
    EXPECT_EQ(
        std::vector<std::uint32_t>(w.begin() + at, w.end()),
        (std::vector<std::uint32_t>{0x30008001, 5, 0x3000A001, 0, 0x30000001, 0x6B97, 0, 0, 0, 0}));
}

TEST(ConfigImage, EveryCrcCheckPassesAndAFlippedBitFailsOne) {
    std::vector<std::uint32_t> w = words_of(config_image());
    EXPECT_EQ(crc_checks(w), (std::vector<bool>{true, true}));
    w[5000] ^= 0x00010000;  // a frame bit
    EXPECT_EQ(crc_checks(w), (std::vector<bool>{false, false}));
}

}  // namespace
}  // namespace oscset::resources
