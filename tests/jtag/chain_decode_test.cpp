#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
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

// What the typist of the table could not copy from it. An IDCODE holds the manufacturer 0x049
// in bits 11..1 and a 1 in bit 0, the family in bits 27..21 and the size in bits 20..12; the
// family fixes the instruction length, and within a family the size field grows with the part.
struct Family {
    std::string_view prefix, suffix;  // of the part name, around its size
    std::uint32_t field;
    std::int32_t ir_length;
    std::uint32_t prom_base;  // a PROM's size field: this plus log2 of its capacity in kbit
    bool clb_rows;            // the size field counts the rows of a Virtex-family CLB array
};
constexpr Family FAMILIES[] = {
    {"xcf", "s", 0x28, 8, 0x3A, false}, {"xcf", "p", 0x28, 16, 0x4A, false},
    {"18v", "", 0x28, 8, 0x1A, false},  {"v", "em", 0x06, 5, 0, true},
    {"v", "", 0x05, 5, 0, true},        {"v", "", 0x03, 5, 0, true},
    {"2s", "", 0x03, 5, 0, true},       {"3s", "e", 0x0E, 6, 0, false},
    {"3s", "", 0x0A, 6, 0, false},
};
// CLB rows by the size in the part name: Spartan-II, Virtex, Virtex-E and Virtex-EM arrays.
const std::map<std::uint32_t, std::uint32_t> CLB_ROWS = {
    {15, 8},    {30, 12},   {50, 16},   {100, 20},  {150, 24},  {200, 28},
    {300, 32},  {400, 40},  {405, 40},  {600, 48},  {800, 56},  {812, 56},
    {1000, 64}, {1600, 72}, {2000, 80}, {2600, 92}, {3200, 104}};

// Every row against the facts; and every part, under any version, decodes as the first row
// with its IDCODE.
TEST(DeviceTable, EveryRowFitsItsFamilyAndSize) {
    const auto table = device_table();
    EXPECT_EQ(table.back().name, nullptr);
    struct Fit {
        const Family* family;
        unsigned size, field;  // the size in the name (a PROM's in kbit), the size field
    };
    std::vector<Fit> seen;
    names departures;
    for (std::size_t i = 0; i + 1 < table.size(); ++i) {
        const DeviceRow& row = table[i];
        Fit r{nullptr, 0, (row.idcode >> 12) & 0x1FF};
        for (const Family& f : FAMILIES) {  // the family of the row's name and family field
            char suffix[4] = "";
            if (r.family == nullptr && std::string_view(row.name).starts_with(f.prefix) &&
                (row.idcode >> 21) == f.field &&
                std::sscanf(row.name + f.prefix.size(), "%u%3s", &r.size, suffix) >= 1 &&
                f.suffix == suffix) {
                r.family = &f;
                r.size *= f.prom_base != 0 && r.size < 100 ? 1024 : 1;  // below 100 in Mbit
            }
        }
        const Family* f = r.family;
        const bool grows = std::all_of(seen.begin(), seen.end(), [&](const Fit& s) {
            return s.family != f || (s.size < r.size) == (s.field < r.field);
        });
        if ((row.idcode & 0xFFF) != (0x049 << 1 | 1) || f == nullptr ||
            row.ir_length != f->ir_length || !grows ||
            (f->clb_rows && (!CLB_ROWS.contains(r.size) || r.field != CLB_ROWS.at(r.size))) ||
            (f->prom_base != 0 && r.field != f->prom_base + std::bit_width(r.size) - 1)) {
            departures.emplace_back(row.name);
        }
        seen.push_back(r);
        const auto first = std::find_if(table.begin(), table.end(),
                                        [&](const DeviceRow& d) { return d.idcode == row.idcode; });
        EXPECT_EQ(decode({{row.idcode | 0xA0000000, 0x01, row.ir_length}}), names{first->name})
            << "row " << i;
    }
    // The table's own, which the simulated board's parts do not share: the Virtex-EM rows hold
    // each other's IDCODE, row 32 reads 0x00610099 (see the next test), 3s1500 the 3s1000's.
    EXPECT_EQ(departures, (names{"v812em", "v405em", "v50", "3s1500"}));
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
