// Chain discovery against the simulated board.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "sim/board/board.hpp"
#include "sim/board/direct_cable.hpp"
#include "tests/support/recording_cable.hpp"

namespace oscset::jtag {
namespace {

// A board behind the USB cable's name, and no chain known yet.
struct OnBoard {
    explicit OnBoard(const sim::BoardConfig& config) : board(config), cable(board) {
        chain_forget();
    }
    ~OnBoard() { chain_forget(); }
    sim::Board board;
    sim::DirectCable cable;
    testing::InstalledCable installed{cable};
};

sim::BoardConfig chain_of(std::vector<std::string> parts) {
    sim::BoardConfig config;
    config.chain = std::move(parts);
    return config;
}

struct Found {
    std::vector<std::string> chain;
    std::vector<std::string> names;  // the matching table rows
    std::int32_t selected;
    chain_position at;
};

class ChainOnBoard : public ::testing::TestWithParam<Found> {};

TEST_P(ChainOnBoard, SelectsTheFirstSpartan2FromTheTdoEnd) {
    const Found& f = GetParam();
    OnBoard on(chain_of(f.chain));
    ASSERT_EQ(jtag_ensure_target(), STATUS_OK);
    std::vector<std::string> names;
    for (const ChainRecord& d : chain_devices()) {
        names.emplace_back(d.name);
    }
    EXPECT_EQ(names, f.names);
    EXPECT_EQ(selected_device(), f.selected);
    const chain_position& at = selected_position();
    EXPECT_EQ(at.devices_tdo_side, f.at.devices_tdo_side);
    EXPECT_EQ(at.devices_tdi_side, f.at.devices_tdi_side);
    EXPECT_EQ(at.ir_bits_tdo_side, f.at.ir_bits_tdo_side);
    EXPECT_EQ(at.ir_bits_tdi_side, f.at.ir_bits_tdi_side);
    EXPECT_EQ(bridge_user_type(), 0) << "the scan reset the chain";
}

INSTANTIATE_TEST_SUITE_P(
    Chains, ChainOnBoard,
    ::testing::Values(
        Found{{"2s100"}, {"v100"}, 0, {0, 0, 0, 0}}, Found{{"2s50"}, {"2s50"}, 0, {0, 0, 0, 0}},
        Found{{"2s15"}, {"2s15"}, 0, {0, 0, 0, 0}}, Found{{"2s200"}, {"v200"}, 0, {0, 0, 0, 0}},
        Found{{"xcf01s", "xcf01s", "2s100"}, {"xcf01s", "xcf01s", "v100"}, 2, {2, 0, 16, 0}},
        Found{{"xcf08p", "2s150", "18v256", "xcf04s"},
              {"xcf08p", "v150", "18v256", "xcf04s"},
              1,
              {1, 2, 16, 16}},
        Found{{"2s30", "2s100"}, {"2s30", "v100"}, 0, {0, 1, 0, 5}},
        Found{{"18v01", "2s100", "2s50"}, {"18v01", "v100", "2s50"}, 1, {1, 1, 8, 5}},
        Found{{"3s200", "2s100"}, {"3s200", "v100"}, 1, {1, 0, 6, 0}}));

TEST(ChainOnBoard, ASecondCallOnlyRecomputesThePosition) {
    OnBoard on(chain_of({"xcf01s", "2s100"}));
    ASSERT_EQ(jtag_ensure_target(), STATUS_OK);
    const std::uint64_t clocks = on.board.clocks();
    EXPECT_EQ(jtag_ensure_target(), STATUS_OK);
    EXPECT_EQ(on.board.clocks(), clocks) << "no probe, reset or scan";
    EXPECT_EQ(selected_position().devices_tdo_side, 1);
}

TEST(ChainOnBoard, ReadsEveryIdcodeWithItsVersion) {
    sim::BoardConfig config = chain_of({"xcf01s", "2s100"});
    config.idcode_version = 5;
    OnBoard on(config);
    ASSERT_EQ(jtag_ensure_target(), STATUS_OK);
    ASSERT_EQ(chain_devices().size(), 2u);
    EXPECT_EQ(chain_devices()[0].idcode, 0x55044093u);
    EXPECT_EQ(chain_devices()[1].idcode, 0x50614093u);
    std::uint32_t id = 0;
    EXPECT_EQ(jtag_read_idcode(&id), STATUS_OK);
    EXPECT_EQ(id, 0x50614093u);
}

struct Refused {
    const char* what;
    sim::BoardConfig config;
    status_t status;
};

sim::BoardConfig with(sim::BoardConfig config, void (*change)(sim::BoardConfig&)) {
    change(config);
    return config;
}

class ChainRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(ChainRefused, ReportsTheChainAsUnusable) {
    OnBoard on(GetParam().config);
    ASSERT_TRUE(on.board.valid()) << on.board.error();
    EXPECT_EQ(jtag_ensure_target(), GetParam().status);
    EXPECT_EQ(selected_device(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ChainRefused,
    ::testing::Values(
        Refused{"no Spartan-II", chain_of({"xcf01s", "18v256"}), STATUS_NO_FPGA},
        Refused{"TDO stuck high",
                with(chain_of({"2s100"}),
                     [](sim::BoardConfig& c) { c.tdo_fault = sim::TdoFault::STUCK_HIGH; }),
                STATUS_NO_FPGA},
        Refused{"TDO stuck low",
                with(chain_of({"2s100"}),
                     [](sim::BoardConfig& c) { c.tdo_fault = sim::TdoFault::STUCK_LOW; }),
                STATUS_NO_FPGA},
        Refused{"nine devices",
                chain_of({"xcf01s", "xcf01s", "xcf01s", "xcf01s", "2s100", "xcf01s", "xcf01s",
                          "xcf01s", "xcf01s"}),
                STATUS_NO_FPGA},
        Refused{"more than 64 instruction bits",
                chain_of({"xcf08p", "xcf08p", "xcf08p", "xcf08p", "2s100"}), STATUS_NO_FPGA},
        Refused{"64 instruction bits behind the FPGA",
                chain_of({"2s100", "xcf08p", "xcf08p", "xcf08p", "xcf08p"}), STATUS_NO_FPGA},
        Refused{"captures 1, 1",
                with(chain_of({"xcf01s", "2s100"}),
                     [](sim::BoardConfig& c) { c.capture_11_device = 0; }),
                STATUS_NO_FPGA},
        Refused{"IDCODE version changes between scan and confirm",
                with(chain_of({"2s100"}), [](sim::BoardConfig& c) { c.version_change_device = 0; }),
                STATUS_NO_FPGA},
        Refused{"no target power",
                with(chain_of({"2s100"}), [](sim::BoardConfig& c) { c.target_power = false; }),
                STATUS_NO_TARGET_POWER}));

TEST(ChainRefused, AFailedScanIsTriedAgainNextTime) {
    OnBoard on(with(chain_of({"2s100"}), [](sim::BoardConfig& c) { c.target_power = false; }));
    EXPECT_EQ(jtag_ensure_target(), STATUS_NO_TARGET_POWER);
    on.board.set_target_power(true);
    EXPECT_EQ(jtag_ensure_target(), STATUS_OK);
    EXPECT_EQ(selected_device(), 0);
}

}  // namespace
}  // namespace oscset::jtag
