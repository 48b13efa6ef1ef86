#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/direct_cable.hpp"
#include "tests/sim_board/jtag_driver.hpp"

namespace oscset::sim {
namespace {

using testing::TestJtag;

BoardConfig chain_of(std::vector<std::string> parts) {
    BoardConfig config;
    config.chain = std::move(parts);
    return config;
}

// Measures the instruction register of a chain: the first `capture_bits` bits read in
// Shift-IR (least significant first), then, with the register full of zeros, how many
// clocks pass before a one shifted in comes out.
struct IrScan {
    std::uint64_t capture = 0;
    int length = -1;
};
IrScan scan_ir(TestJtag& jtag, int capture_bits) {
    IrScan r;
    jtag.reset_to_idle();
    jtag.to_shift_ir();
    for (int i = 0; i < 200; ++i) {
        const bool tdo = jtag.clock(false, false);
        if (i < capture_bits) {
            r.capture |= static_cast<std::uint64_t>(tdo) << i;
        }
    }
    for (int i = 0; i < 200; ++i) {
        if (jtag.clock(false, true)) {
            r.length = i;
            break;
        }
    }
    return r;
}

struct PartRow {
    const char* part;
    int ir_length;
    std::uint32_t capture;  // blank FPGA: INIT and bit 4 high, DONE low
    std::uint32_t idcode;   // with the board's default version nibble 1
};

class PartRegisters : public ::testing::TestWithParam<PartRow> {};

TEST_P(PartRegisters, InstructionLengthCaptureAndIdcodeAfterReset) {
    const PartRow& row = GetParam();
    Board board(chain_of({row.part}));
    ASSERT_TRUE(board.valid()) << board.error();
    TestJtag jtag(board);
    const IrScan ir = scan_ir(jtag, row.ir_length);
    EXPECT_EQ(ir.length, row.ir_length);
    EXPECT_EQ(ir.capture, row.capture);
    EXPECT_EQ(ir.capture & 3, 1u) << "IEEE: the first two captured bits are 1, 0";
    jtag.reset_to_idle();
    EXPECT_EQ(jtag.scan_dr(0, 32), row.idcode);
}

INSTANTIATE_TEST_SUITE_P(
    Catalogue, PartRegisters,
    ::testing::Values(PartRow{"2s100", 5, 0x19, 0x10614093}, PartRow{"2s15", 5, 0x19, 0x10608093},
                      PartRow{"v50", 5, 0x19, 0x10610093}, PartRow{"v50e", 5, 0x19, 0x10A10093},
                      PartRow{"v812em", 5, 0x19, 0x10C38093},
                      PartRow{"xcf01s", 8, 0x01, 0x15044093},
                      PartRow{"xcf32p", 16, 0x01, 0x15059093},
                      PartRow{"18v256", 8, 0x01, 0x15022093}, PartRow{"3s200", 6, 0x01, 0x11414093},
                      PartRow{"3s1500", 6, 0x01, 0x11434093},
                      PartRow{"3s1200e", 6, 0x01, 0x11C2E093}));

// The length of the data register between TDI and TDO: ones shifted behind zeros appear
// after exactly that many clocks.
int dr_length(TestJtag& jtag) {
    jtag.to_shift_dr();
    for (int i = 0; i < 64; ++i) {
        jtag.clock(false, false);
    }
    int length = -1;
    for (int i = 0; i < 100; ++i) {
        if (jtag.clock(false, true) && length < 0) {
            length = i;
        }
    }
    jtag.clock(true);
    jtag.update_to_idle();
    return length;
}

struct InstructionRow {
    const char* part;
    int ir_length;
    std::uint32_t code;
    int dr_length;
    bool first_bit;  // what Capture-DR puts first on TDO
};

class DataRegisterLength : public ::testing::TestWithParam<InstructionRow> {};

TEST_P(DataRegisterLength, PerInstruction) {
    const InstructionRow& row = GetParam();
    Board board(chain_of({row.part}));
    TestJtag jtag(board);
    jtag.reset_to_idle();
    jtag.load_ir(row.code, row.ir_length);
    EXPECT_EQ(board.instruction(0), row.code);
    jtag.to_shift_dr();
    EXPECT_EQ(jtag.clock(false, true), row.first_bit);
    jtag.clock(true);
    jtag.update_to_idle();
    EXPECT_EQ(dr_length(jtag), row.dr_length);
}

INSTANTIATE_TEST_SUITE_P(
    Instructions, DataRegisterLength,
    ::testing::Values(
        InstructionRow{"2s100", 5, 9, 32, true},   // IDCODE, bit 0 is 1
        InstructionRow{"2s100", 5, 31, 1, false},  // BYPASS captures 0
        InstructionRow{"2s100", 5, 12, 1, false},  // JSTART
        InstructionRow{"2s100", 5, 0, 1, false},   // EXTEST: not modelled
        InstructionRow{"2s100", 5, 1, 1, false},   // SAMPLE
        InstructionRow{"2s100", 5, 17, 1, false},  // no such code
        InstructionRow{"xcf01s", 8, 0xFE, 32, true}, InstructionRow{"xcf01s", 8, 0xFF, 1, false},
        InstructionRow{"xcf01s", 8, 0x00, 1, false}, InstructionRow{"xcf08p", 16, 0x00FE, 32, true},
        InstructionRow{"xcf08p", 16, 0xFFFF, 1, false}, InstructionRow{"3s200", 6, 0x09, 32, true},
        InstructionRow{"3s200", 6, 0x3F, 1, false}));

TEST(Chain, IdcodeAfterFiveTmsHighClocksFromEveryState) {
    // Walk into every state by a path, then reset by TMS alone.
    const std::vector<std::vector<bool>> paths = {
        {},                     // Test-Logic-Reset
        {0},                    // Run-Test/Idle
        {0, 1, 0, 0},           // Shift-DR
        {0, 1, 0, 1, 0},        // Pause-DR
        {0, 1, 0, 1, 1},        // Update-DR
        {0, 1, 1, 0, 0},        // Shift-IR
        {0, 1, 1, 0, 1, 0, 1},  // Exit2-IR
        {0, 1, 1, 0, 1, 1},     // Update-IR
    };
    for (const auto& path : paths) {
        Board board(chain_of({"2s100"}));
        TestJtag jtag(board);
        jtag.reset_to_idle();
        jtag.load_ir(31, 5);  // BYPASS, so that only the reset can bring IDCODE back
        for (bool tms : path) {
            jtag.clock(tms);
        }
        for (int i = 0; i < 5; ++i) {
            jtag.clock(true);
        }
        EXPECT_EQ(board.tap_state(0), TapState::TEST_LOGIC_RESET);
        EXPECT_EQ(board.instruction(0), 9u);
        jtag.clock(false);
        EXPECT_EQ(jtag.scan_dr(0, 32), 0x10614093u);
    }
}

TEST(Chain, InstructionBecomesCurrentOnTheFallingEdgeInUpdateIr) {
    Board board(chain_of({"2s100"}));
    TestJtag jtag(board);
    jtag.reset_to_idle();
    jtag.to_shift_ir();
    jtag.shift_value(12, 5, true);
    jtag.clock(true);  // rises into Update-IR; TCK rests high
    EXPECT_EQ(board.tap_state(0), TapState::UPDATE_IR);
    EXPECT_EQ(board.instruction(0), 9u);
    jtag.clock(false);
    EXPECT_EQ(board.instruction(0), 12u);
}

struct BypassRow {
    std::vector<std::string> parts;
};

class ChainBypass : public ::testing::TestWithParam<BypassRow> {};

TEST_P(ChainBypass, OneBitOfDelayPerDeviceAndIdcodesFromTheTdoEnd) {
    const BypassRow& row = GetParam();
    Board board(chain_of(row.parts));
    ASSERT_TRUE(board.valid());
    TestJtag jtag(board);
    int ir_total = 0;
    for (const auto& p : row.parts) {
        ir_total += find_part(p)->ir_length;
    }
    // All ones: every device in BYPASS.
    jtag.reset_to_idle();
    jtag.to_shift_ir();
    for (int i = 0; i < ir_total; ++i) {
        jtag.clock(i + 1 == ir_total, true);
    }
    jtag.update_to_idle();
    EXPECT_EQ(dr_length(jtag), static_cast<int>(row.parts.size()));

    // After a reset the IDCODEs leave TDO device 0 first.
    jtag.reset_to_idle();
    jtag.to_shift_dr();
    for (std::size_t d = 0; d < row.parts.size(); ++d) {
        const std::uint64_t id = jtag.shift_value(0, 32, false);
        EXPECT_EQ(id, find_part(row.parts[d])->idcode | 0x10000000u) << "device " << d;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Chains, ChainBypass,
    ::testing::Values(BypassRow{{"2s100"}}, BypassRow{{"xcf01s", "2s100"}},
                      BypassRow{{"2s100", "18v256", "3s200", "v100", "xcf32p"}},
                      // More than eight devices, and 16 x 9 = 144 instruction bits.
                      BypassRow{{"xcf08p", "xcf08p", "xcf08p", "xcf08p", "xcf08p", "xcf08p",
                                 "xcf08p", "xcf08p", "2s50"}}));

TEST(Chain, InstructionRegistersOfMoreThan64BitsMeasureWhole) {
    Board board(chain_of({"xcf16p", "xcf16p", "xcf16p", "xcf16p", "2s100"}));
    TestJtag jtag(board);
    const IrScan ir = scan_ir(jtag, 64);
    EXPECT_EQ(ir.length, 69);
    EXPECT_EQ(ir.capture & 0xFFFF, 1u);
}

TEST(Faults, CaptureBits11OnOneDevice) {
    BoardConfig config = chain_of({"xcf01s", "2s100"});
    config.capture_11_device = 1;
    Board board(config);
    TestJtag jtag(board);
    const IrScan ir = scan_ir(jtag, 13);
    EXPECT_EQ(ir.capture & 0xFF, 0x01u);         // the PROM as usual
    EXPECT_EQ((ir.capture >> 8) & 0x1F, 0x1Bu);  // 1, 1, DONE 0, INIT 1, 1
    EXPECT_EQ(ir.length, 13);
}

TEST(Faults, StuckTdo) {
    for (TdoFault fault : {TdoFault::STUCK_HIGH, TdoFault::STUCK_LOW}) {
        BoardConfig config;
        config.tdo_fault = fault;
        Board board(config);
        TestJtag jtag(board);
        jtag.reset_to_idle();
        jtag.to_shift_dr();
        const std::uint64_t id = jtag.shift_value(0, 32, true);
        EXPECT_EQ(id, fault == TdoFault::STUCK_HIGH ? 0xFFFFFFFFu : 0u);
        EXPECT_EQ(board.tdo(), fault == TdoFault::STUCK_HIGH);
        // The chain behind the broken line still works.
        EXPECT_EQ(board.tap_state(0), TapState::EXIT1_DR);
    }
}

TEST(Faults, NoTargetPower) {
    BoardConfig config;
    config.target_power = false;
    Board board(config);
    DirectCable cable(board);
    EXPECT_EQ(cable.probe(), 0);
    TestJtag jtag(board);
    jtag.reset_to_idle();
    jtag.to_shift_dr();
    EXPECT_EQ(jtag.shift_value(0, 32, false), 0xFFFFFFFFu);  // nothing drives TDO: pull-up
    EXPECT_EQ(board.tap_state(0), TapState::TEST_LOGIC_RESET);

    board.set_target_power(true);
    EXPECT_EQ(cable.probe(), 1);
    jtag.reset_to_idle();
    EXPECT_EQ(jtag.scan_dr(0, 32), 0x10614093u);
}

TEST(Faults, IdcodeVersionChangesAfterTheFirstRead) {
    BoardConfig config = chain_of({"xcf01s", "2s100"});
    config.version_change_device = 1;
    Board board(config);
    TestJtag jtag(board);
    std::vector<std::uint64_t> reads;
    for (int i = 0; i < 3; ++i) {
        jtag.reset_to_idle();
        reads.push_back(jtag.scan_dr(0, 64) >> 32);
    }
    EXPECT_EQ(reads[0], 0x10614093u);
    EXPECT_EQ(reads[1], 0x20614093u);
    EXPECT_EQ(reads[2], 0x20614093u);
    // The other device keeps its version.
    jtag.reset_to_idle();
    EXPECT_EQ(jtag.scan_dr(0, 32), 0x15044093u);
}

TEST(Faults, IdleTdoIsThePullUp) {
    Board board(chain_of({"2s100"}));
    TestJtag jtag(board);
    jtag.reset_to_idle();
    EXPECT_TRUE(jtag.clock(false));  // Run-Test/Idle
    jtag.load_ir(31, 5);
    jtag.to_shift_dr();
    EXPECT_FALSE(jtag.clock(false));  // Shift-DR: the bypass register's captured 0
    EXPECT_FALSE(jtag.clock(true));   // the 0 shifted in; on to Exit1-DR
    EXPECT_TRUE(jtag.clock(true));    // Exit1-DR drives nothing
    EXPECT_TRUE(jtag.clock(false));   // Update-DR
}

struct BadConfigRow {
    std::vector<std::string> chain;
    std::optional<std::size_t> capture_11;
    const char* error_part;
};

class BadConfig : public ::testing::TestWithParam<BadConfigRow> {};

TEST_P(BadConfig, MakesABoardWithoutDevicesOrPower) {
    BoardConfig config = chain_of(GetParam().chain);
    config.capture_11_device = GetParam().capture_11;
    Board board(config);
    EXPECT_FALSE(board.valid());
    EXPECT_NE(board.error().find(GetParam().error_part), std::string::npos) << board.error();
    EXPECT_EQ(board.device_count(), 0u);
    EXPECT_FALSE(board.target_power());
    EXPECT_TRUE(board.clock(false, false));
    board.set_target_power(true);
    EXPECT_FALSE(board.target_power());
}

INSTANTIATE_TEST_SUITE_P(
    Configs, BadConfig,
    ::testing::Values(BadConfigRow{{"2s100", "xc9999"}, std::nullopt, "xc9999"},
                      BadConfigRow{{}, std::nullopt, "no device"},
                      BadConfigRow{{"2s100"}, 1, "beyond"}));

TEST(PinLevel, DriveMatchesClock) {
    Board a(chain_of({"xcf01s", "2s100"}));
    Board b(chain_of({"xcf01s", "2s100"}));
    TestJtag jtag(a);
    // The same TMS/TDI sequence through clock() and through drive()/tdo().
    const std::vector<std::pair<bool, bool>> steps = {
        {1, 0}, {1, 0}, {1, 0}, {1, 0}, {1, 0}, {0, 0}, {1, 0}, {0, 0}, {0, 1},
        {0, 0}, {0, 1}, {0, 1}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 1}, {0, 0},
    };
    for (int rep = 0; rep < 4; ++rep) {
        for (auto [tms, tdi] : steps) {
            const bool via_clock = a.clock(tdi, tms);
            b.drive(false, tdi, tms);
            const bool via_pins = b.tdo();
            b.drive(true, tdi, tms);
            EXPECT_EQ(via_clock, via_pins);
        }
    }
    EXPECT_EQ(a.tap_state(1), b.tap_state(1));
    EXPECT_EQ(a.clocks(), b.clocks());
}

}  // namespace
}  // namespace oscset::sim
