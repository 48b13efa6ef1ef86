#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "jtag/chain.hpp"
#include "jtag/device_table.hpp"

namespace oscset::jtag {
namespace {

// Bit strings as the scan leaves them: captured bits and IDCODEs in the order read.
struct bits {
    std::array<std::uint8_t, 32> bytes{};
    std::int32_t count = 0;
    void push(std::uint32_t value, std::int32_t width) {
        for (std::int32_t k = 0; k < width; ++k, ++count) {
            if ((value >> k) & 1) {
                bytes[static_cast<std::size_t>(count / 8)] |=
                    static_cast<std::uint8_t>(0x80 >> (count % 8));
            }
        }
    }
};

struct device {
    std::uint32_t idcode;
    std::uint32_t capture;
    std::int32_t ir_length;
};

std::vector<std::string> decode(const std::vector<device>& chain, std::int32_t* filled = nullptr) {
    bits capture, ids;
    for (const device& d : chain) {
        capture.push(d.capture, d.ir_length);
        ids.push(d.idcode, 32);
    }
    std::array<chain_device, MAX_CHAIN_DEVICES> records{};
    const std::int32_t n = chain_decode(records.data(), MAX_CHAIN_DEVICES, capture.bytes.data(),
                                        capture.count, ids.bytes.data(), ids.count);
    if (filled != nullptr) {
        *filled = n;
    }
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < n; ++i) {
        names.push_back(records[static_cast<std::size_t>(i)].name);
    }
    return names;
}

using names = std::vector<std::string>;

TEST(DeviceTable, HoldsFiftyOneRowsAndATerminator) {
    const auto table = device_table();
    ASSERT_EQ(table.size(), 52u);
    EXPECT_STREQ(table[0].name, "xcf01s");
    EXPECT_STREQ(table[31].name, "v100");
    EXPECT_EQ(table[31].idcode, 0x00614093u);
    EXPECT_EQ(table[32].idcode, 0x00610099u);
    EXPECT_STREQ(table[36].name, "2s50");
    EXPECT_STREQ(table[50].name, "3s1600e");
    EXPECT_EQ(table[51].name, nullptr);
}

TEST(ChainDecode, TakesTheFirstFittingRowInTableOrder) {
    // An XC2S100 is the row "v100"; an XC2S50 passes over row 32 to "2s50".
    EXPECT_EQ(decode({{0x50614093, 0x1D, 5}}), names{"v100"});
    EXPECT_EQ(decode({{0x00610093, 0x11, 5}}), names{"2s50"});
    EXPECT_EQ(decode({{0x01428093, 0x01, 6}}), names{"3s1000"});
    EXPECT_EQ(decode({{0x05044093, 0x01, 8}, {0x05044093, 0x01, 8}, {0x0061C093, 0x1D, 5}}),
              (names{"xcf01s", "xcf01s", "v200"}));
    EXPECT_EQ(decode({{0x05057093, 0x0101, 16}, {0x00608093, 0x05, 5}}), (names{"xcf08p", "2s15"}));
}

TEST(ChainDecode, RefusesUnknownPartsAndBadCaptures) {
    std::int32_t n = 0;
    decode({{0x12345093, 0x01, 5}}, &n);
    EXPECT_EQ(n, -1);
    decode({{0x00614093, 0x03, 5}}, &n);  // captured 1, 1
    EXPECT_EQ(n, -1);
    decode({{0x00614093, 0x01, 5}, {0x00614093, 0x02, 5}}, &n);
    EXPECT_EQ(n, -1);
}

TEST(ChainDecode, ARowMayNotReachPastTheCapturedBits) {
    // Measured 8 instruction bits, but the table gives the PROM 16: no fit.
    bits capture, ids;
    capture.push(0x01, 8);
    ids.push(0x05057093, 32);
    std::array<chain_device, MAX_CHAIN_DEVICES> records{};
    EXPECT_EQ(chain_decode(records.data(), 8, capture.bytes.data(), 8, ids.bytes.data(), 32), -1);
    EXPECT_EQ(chain_decode(records.data(), 8, capture.bytes.data(), 0, ids.bytes.data(), 32), 0);
}

TEST(Spartan2Name, IgnoresTheVersion) {
    struct c {
        std::uint32_t idcode;
        const char* name;
    };
    for (const c& x :
         {c{0x00608093, "XC2S15"}, c{0x1060C093, "XC2S30"}, c{0xF0610093, "XC2S50"},
          c{0x50614093, "XC2S100"}, c{0x00618093, "XC2S150"}, c{0x0061C093, "XC2S200"}}) {
        EXPECT_STREQ(spartan2_name(x.idcode), x.name);
    }
    EXPECT_EQ(spartan2_name(0x00610099), nullptr);
    EXPECT_EQ(spartan2_name(0x05044093), nullptr);
}

TEST(ChainSelect, PlacesTheDeviceBetweenItsNeighbours) {
    chain_assume(std::vector<chain_device>{{"xcf01s", 0x05044093, 8, 1},
                                           {"xcf08p", 0x05057093, 16, 1},
                                           {"v100", 0x50614093, 5, 0x1D},
                                           {"18v256", 0x05022093, 8, 1}});
    EXPECT_EQ(chain_select(2), 0x50614093u);
    const chain_position& at = selected_position();
    EXPECT_EQ(at.devices_tdo_side, 2);
    EXPECT_EQ(at.ir_bits_tdo_side, 24);
    EXPECT_EQ(at.devices_tdi_side, 1);
    EXPECT_EQ(at.ir_bits_tdi_side, 8);
    EXPECT_EQ(chain_select(4), 0u);
    EXPECT_EQ(chain_select(-1), 0u);
    EXPECT_EQ(selected_position().devices_tdo_side, 2) << "a bad index changes nothing";
    chain_forget();
}

}  // namespace
}  // namespace oscset::jtag
