#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <vector>

#include "jtag/chain.hpp"
#include "jtag/device_table.hpp"

namespace oscset::jtag {
namespace {

// Bit strings as the scan leaves them: captured bits and IDCODEs in the order read.
struct Bits {
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

struct Device {
    std::uint32_t idcode;
    std::uint32_t capture;
    std::int32_t ir_length;
};

std::vector<std::string> decode(const std::vector<Device>& chain, std::int32_t* filled = nullptr) {
    Bits capture, ids;
    for (const Device& d : chain) {
        capture.push(d.capture, d.ir_length);
        ids.push(d.idcode, 32);
    }
    std::array<ChainRecord, MAX_CHAIN_DEVICES> records{};
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

// The known parts as the vendor's documents list them, in table order.
constexpr DeviceRow KNOWN_PARTS[] = {
    {"xcf01s", 0x05044093, 8, 0x1},  {"xcf02s", 0x05045093, 8, 0x1},
    {"xcf04s", 0x05046093, 8, 0x1},  {"xcf08p", 0x05057093, 16, 0x1},
    {"xcf16p", 0x05058093, 16, 0x1}, {"xcf32p", 0x05059093, 16, 0x1},
    {"18v01", 0x05024093, 8, 0x1},   {"18v02", 0x05025093, 8, 0x1},
    {"18v04", 0x05026093, 8, 0x1},   {"18v256", 0x05022093, 8, 0x1},
    {"18v512", 0x05023093, 8, 0x1},  {"v812em", 0x00C28093, 5, 0x0},
    {"v405em", 0x00C38093, 5, 0x0},  {"v3200", 0x00A68093, 5, 0x0},
    {"v2600", 0x00A5C093, 5, 0x0},   {"v2000", 0x00A50093, 5, 0x0},
    {"v1600", 0x00A48093, 5, 0x0},   {"v1000", 0x00A40093, 5, 0x0},
    {"v600", 0x00A30093, 5, 0x0},    {"v400", 0x00A28093, 5, 0x0},
    {"v300", 0x00A20093, 5, 0x0},    {"v200", 0x00A1C093, 5, 0x0},
    {"v100", 0x00A14093, 5, 0x0},    {"v50", 0x00A10093, 5, 0x0},
    {"v1000", 0x00640093, 5, 0x0},   {"v800", 0x00638093, 5, 0x0},
    {"v600", 0x00630093, 5, 0x0},    {"v400", 0x00628093, 5, 0x0},
    {"v300", 0x00620093, 5, 0x0},    {"v200", 0x0061C093, 5, 0x0},
    {"v150", 0x00618093, 5, 0x0},    {"v100", 0x00614093, 5, 0x0},
    {"v50", 0x00610099, 5, 0x0},     {"2s200", 0x0061C093, 5, 0x1D},
    {"2s150", 0x00618093, 5, 0x1D},  {"2s100", 0x00614093, 5, 0x1D},
    {"2s50", 0x00610093, 5, 0x1D},   {"2s30", 0x0060C093, 5, 0x1D},
    {"2s15", 0x00608093, 5, 0x1D},   {"3s50", 0x0140D093, 6, 0x1},
    {"3s200", 0x01414093, 6, 0x1},   {"3s400", 0x0141C093, 6, 0x1},
    {"3s1000", 0x01428093, 6, 0x1},  {"3s1500", 0x01428093, 6, 0x1},
    {"3s2000", 0x01440093, 6, 0x1},  {"3s4000", 0x01448093, 6, 0x1},
    {"3s5000", 0x01450093, 6, 0x1},  {"3s100e", 0x01C10093, 6, 0x1},
    {"3s500e", 0x01C22093, 6, 0x1},  {"3s1200e", 0x01C2E093, 6, 0x1},
    {"3s1600e", 0x01C3A093, 6, 0x1},
};

// Row by row; and every part, under any version, decodes as the first row with its IDCODE.
TEST(DeviceTable, HoldsEveryKnownPartInOrderAndATerminator) {
    const auto table = device_table();
    ASSERT_EQ(table.size(), std::size(KNOWN_PARTS) + 1);
    EXPECT_EQ(table.back().name, nullptr);
    for (std::size_t i = 0; i < std::size(KNOWN_PARTS); ++i) {
        const DeviceRow& want = KNOWN_PARTS[i];
        EXPECT_STREQ(table[i].name, want.name) << "row " << i;
        EXPECT_EQ(table[i].idcode, want.idcode) << "row " << i;
        EXPECT_EQ(table[i].ir_length, want.ir_length) << "row " << i;
        EXPECT_EQ(table[i].flags, want.flags) << "row " << i;
        const DeviceRow* first =
            std::find_if(std::begin(KNOWN_PARTS), std::end(KNOWN_PARTS),
                         [&](const DeviceRow& r) { return r.idcode == want.idcode; });
        EXPECT_EQ(decode({{want.idcode | 0xA0000000, 0x01, want.ir_length}}), names{first->name})
            << "row " << i;
    }
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
    Bits capture, ids;
    capture.push(0x01, 8);
    ids.push(0x05057093, 32);
    std::array<ChainRecord, MAX_CHAIN_DEVICES> records{};
    EXPECT_EQ(chain_decode(records.data(), 8, capture.bytes.data(), 8, ids.bytes.data(), 32), -1);
    EXPECT_EQ(chain_decode(records.data(), 8, capture.bytes.data(), 0, ids.bytes.data(), 32), 0);
}

TEST(Spartan2Name, IgnoresTheVersion) {
    struct Case {
        std::uint32_t idcode;
        const char* name;
    };
    for (const Case& x :
         {Case{0x00608093, "XC2S15"}, Case{0x1060C093, "XC2S30"}, Case{0xF0610093, "XC2S50"},
          Case{0x50614093, "XC2S100"}, Case{0x00618093, "XC2S150"}, Case{0x0061C093, "XC2S200"}}) {
        EXPECT_STREQ(spartan2_name(x.idcode), x.name);
    }
    EXPECT_EQ(spartan2_name(0x00610099), nullptr);
    EXPECT_EQ(spartan2_name(0x05044093), nullptr);
}

TEST(ChainSelect, PlacesTheDeviceBetweenItsNeighbours) {
    chain_assume(std::vector<ChainRecord>{{"xcf01s", 0x05044093, 8, 1},
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
