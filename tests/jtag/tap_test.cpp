#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "cables/cable.hpp"
#include "jtag/chain.hpp"
#include "jtag/tap.hpp"
#include "tests/support/recording_cable.hpp"

namespace oscset::jtag {
namespace {

using testing::InstalledCable;
using testing::RecordingCable;

ChainRecord part(const char* name, std::int32_t ir_length) {
    return {name, 0x1, ir_length, 1};
}

// A recording cable behind the USB name, and a chain with the selected device at `index`.
class Tap : public ::testing::Test {
  protected:
    void place(std::vector<ChainRecord> chain, std::int32_t index) {
        chain_assume(chain);
        chain_select(index);
    }
    void SetUp() override {
        place({part("2s100", 5)}, 0);
        set_current_user_type(USER_TYPE_UNKNOWN);
        cable.clear();
    }
    void TearDown() override { chain_forget(); }

    RecordingCable cable;
    InstalledCable installed{cable};
};

TEST_F(Tap, ResetAndIdleClocks) {
    jtag_reset_to_idle(RESET_CLOCKS);
    jtag_idle_clocks(1);
    EXPECT_EQ(cable.trace(), "6:10 1:00");
}

TEST_F(Tap, LoadIrAloneOnTheChainClocksFiveBitsLeastSignificantFirst) {
    EXPECT_EQ(jtag_load_ir(INSTRUCTION_CFG_IN, 5), STATUS_OK);
    EXPECT_EQ(cable.trace(), "2:11 2:00 5:01/10100 1:11");
}

TEST_F(Tap, LoadIrFillsOtherDevicesWithBypass) {
    place({part("xcf01s", 8), part("xcf01s", 8), part("xcf01s", 8), part("2s100", 5)}, 3);
    cable.clear();
    jtag_load_ir(INSTRUCTION_JSTART, 5);
    EXPECT_EQ(cable.trace(), "2:11 2:00 29:01/" + std::string(24, '1') + "00110 1:11");

    place({part("2s100", 5), part("18v256", 8), part("xcf08p", 16)}, 0);
    cable.clear();
    jtag_load_ir(INSTRUCTION_IDCODE, 5);
    EXPECT_EQ(cable.trace(), "2:11 2:00 29:01/10010" + std::string(24, '1') + " 1:11");
}

// A shift that the cable failed changes no status word and stops nothing: it is told once, to
// whoever asks next.
TEST_F(Tap, ACableFailureIsKeptUntilAskedOnce) {
    cable.fails = [](std::size_t call) { return call == 2; };  // the instruction's bits
    EXPECT_EQ(jtag_load_ir(INSTRUCTION_CFG_IN, 5), STATUS_OK);
    EXPECT_EQ(jtag_idle_clocks(1), STATUS_OK);
    EXPECT_EQ(cable.trace(), "2:11 2:00 5:01/10100 1:11 1:00");
    EXPECT_TRUE(jtag_take_cable_failure());
    EXPECT_FALSE(jtag_take_cable_failure());
}

TEST_F(Tap, ShiftDrOfNoBitsEntersAndStays) {
    jtag_shift_dr(nullptr, nullptr, 0, DR_ENTER | DR_EXIT);
    EXPECT_EQ(cable.trace(), "2:10 1:00");
}

TEST_F(Tap, ReadBackIsReversedIntoStringOrder) {
    cable.tdo_level = [](std::uint64_t) { return true; };
    std::array<std::uint8_t, 6> tdo;
    tdo.fill(0x55);
    jtag_shift_dr(nullptr, tdo.data(), 33, 0);
    EXPECT_EQ(tdo, (std::array<std::uint8_t, 6>{0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0x55}));
    EXPECT_EQ(cable.trace(), "33:00r");
}

TEST_F(Tap, ReadBackIsLeftAloneWhenTheCableNeedsNoReversal) {
    RecordingCable plain;
    cable::cable_close();
    cable::cable_set_driver(cable::USB_CABLE_NAME, &plain, 0);
    ASSERT_EQ(cable::cable_open(cable::CABLE_FIRST_USB), STATUS_OK);
    plain.tdo_level = [](std::uint64_t clock) { return clock == 0; };
    std::uint8_t tdo = 0;
    jtag_shift_dr(nullptr, &tdo, 8, 0);
    EXPECT_EQ(tdo, 0x01);
    cable::cable_close();  // `plain` ends with this test
}

TEST_F(Tap, ScanDrDropsTdoSideBitsWhenReadingAndPadsTdiSideWhenWriting) {
    place({part("xcf01s", 8), part("xcf01s", 8), part("2s100", 5), part("xcf01s", 8)}, 2);
    cable.clear();
    std::array<std::uint8_t, 2> buffer{0xA5, 0x00};
    jtag_scan_dr(nullptr, buffer.data(), 8);
    EXPECT_EQ(cable.trace(), "2:10 1:00 2:00 8:01r 1:11");
    cable.clear();
    buffer = {0xA5, 0x00};
    jtag_scan_dr(buffer.data(), buffer.data(), 8);
    EXPECT_EQ(cable.trace(), "2:10 1:00 2:00 8:00/10100101r 1:01 1:11");
}

TEST_F(Tap, ScanDrWritingDropsNothingAndPadsWithTmsHighOnThePad) {
    place({part("xcf01s", 8), part("2s100", 5), part("xcf01s", 8)}, 1);
    cable.clear();
    const std::uint8_t data = 0xF0;
    jtag_scan_dr(&data, nullptr, 4);
    EXPECT_EQ(cable.trace(), "2:10 1:00 4:00/1111 1:01 1:11");
}

TEST_F(Tap, CfgInWriteKeepsWordBoundaries) {
    const std::array<std::uint8_t, 8> words{0x28, 0x00, 0xE0, 0x01, 0, 0, 0, 0};
    jtag_cfg_in_write(words.data(), 64);
    EXPECT_EQ(cable.trace(),
              "2:11 2:00 5:01/10100 1:11 2:10 1:00 64:01/" +
                  std::string("0010100000000000111000000000000100000000000000000000000000000000") +
                  " 1:11");

    place({part("2s100", 5), part("xcf01s", 8)}, 0);
    cable.clear();
    jtag_cfg_in_write(words.data(), 64);
    // 31 lead zeros, the packets, one trailing zero: n + 32 clocks in Shift-DR.
    const std::string trace = cable.trace();
    EXPECT_EQ(trace.substr(0, trace.find(" 64:00/")),
              "2:11 2:00 13:01/1010011111111 1:11 2:10 1:00 31:00");
    EXPECT_NE(
        trace.find(
            " 64:00/0010100000000000111000000000000100000000000000000000000000000000 1:01 1:11"),
        std::string::npos)
        << trace;
}

// The chain scan clock by clock, on a chain whose TDO answers are scripted: `ir_bits` zeros
// before the first one while the instruction registers fill, `devices` zeros before the first
// one in the bypass count, then the IDCODEs (an XC2S100 and an XC2S50, each capturing 1, 0).
TEST_F(Tap, TheChainScanShiftsExactlyThis) {
    struct Case {
        std::int32_t ir_bits, devices, found;
        const char* after_count;
    };
    const auto reads = [](std::int32_t n) {
        std::string out;
        for (std::int32_t i = 0; i < n; ++i) {
            out += "1:00/1r ";
        }
        return out;
    };
    for (const Case& x : {Case{10, 2, 1, "1:11 6:10 1:11 2:00 64:01r"},
                          Case{3, 2, 0, "1:11 6:10"}}) {  // fewer than two instruction bits each
        chain_forget();
        cable.clear();
        std::vector<bool> tdo(200);
        tdo[10 + 0] = tdo[10 + 5] = true;  // captures from clock 10 on
        tdo[74 + x.ir_bits] = true;
        const std::size_t count_from = 74 + x.ir_bits + 6;
        tdo[count_from + x.devices] = true;
        const std::size_t ids_from = count_from + x.devices + 11;
        for (std::size_t k = 0; k < 32; ++k) {
            tdo.at(ids_from + k) = ((0x00614093u >> k) & 1) != 0;
            tdo.at(ids_from + 32 + k) = ((0x00610093u >> k) & 1) != 0;
        }
        cable.tdo_level = [&](std::uint64_t clock) { return clock < tdo.size() && tdo[clock]; };
        EXPECT_EQ(jtag_scan_chain(), x.found) << x.ir_bits;
        EXPECT_EQ(cable.trace(), "6:10 2:11 2:00 64:00r " + reads(x.ir_bits + 1) +
                                     "1:11/1 2:11 2:00 " + reads(x.devices + 1) + x.after_count);
    }
}

TEST_F(Tap, SelectUserCachesTheOpenRegister) {
    struct Case {
        std::int32_t before;
        std::uint32_t type;
        const char* trace;
        std::int32_t after;
    };
    for (const Case& x : {
             Case{USER_TYPE_NONE, 0, "", USER_TYPE_NONE},
             Case{1, 0, "6:10 1:00", USER_TYPE_NONE},
             Case{2, 0, "6:10 1:00", USER_TYPE_NONE},
             Case{USER_TYPE_UNKNOWN, 0, "6:10 1:00", USER_TYPE_NONE},
             Case{USER_TYPE_UNKNOWN, 1, "6:10 1:00 2:11 2:00 5:01/01000 1:11 2:10 1:00", 1},
             Case{2, 1, "6:10 1:00 2:11 2:00 5:01/01000 1:11 2:10 1:00", 1},
             Case{USER_TYPE_NONE, 2, "6:10 1:00 2:11 2:00 5:01/11000 1:11 2:10 1:00", 2},
             // The same type again loads from where the TAP is, without a reset.
             Case{1, 1, "2:11 2:00 5:01/01000 1:11 2:10 1:00", 1},
             Case{1, 0x101, "2:11 2:00 5:01/01000 1:11 2:10 1:00", 1},
         }) {
        set_current_user_type(x.before);
        cable.clear();
        EXPECT_EQ(jtag_select_user(x.type), STATUS_OK);
        EXPECT_EQ(cable.trace(), x.trace) << x.before << " -> " << x.type;
        EXPECT_EQ(current_user_type(), x.after) << x.before << " -> " << x.type;
    }
}

TEST_F(Tap, UserShiftWithExitReturnsToIdleAndForgetsTheRegister) {
    jtag_select_user(1);
    cable.clear();
    const std::uint8_t data = 0xC0;
    jtag_user_shift(&data, nullptr, 2, 0);
    EXPECT_EQ(current_user_type(), 1);
    jtag_user_shift(&data, nullptr, 2, 1);
    EXPECT_EQ(cable.trace(), "2:00/11 2:01/11 1:11 1:00");
    EXPECT_EQ(current_user_type(), USER_TYPE_NONE);
    cable.clear();
    jtag_select_user(1);
    EXPECT_EQ(cable.trace().substr(0, 9), "6:10 1:00");
}

}  // namespace
}  // namespace oscset::jtag
