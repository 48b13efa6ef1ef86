// The parallel cable through the cable layer, on the simulated printer port with a small
// board of the test's own behind it.

#include "sim/parallel/sim_printer_port.hpp"

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <vector>

#include "cables/cable.hpp"
#include "cables/parallel/service_manager.hpp"
#include "cables/parallel/xpar.hpp"
#include "platform/console.hpp"

namespace oscset::sim {
namespace {

// Records TDI and TMS at each rising TCK edge and presents the next scripted TDO bit after
// each falling edge. Between the rising edge and the next fall its TDO shows the opposite
// level, so a cable that reads TDO at the wrong moment gets the wrong bits.
class ScriptedJtagPort final : public JtagPort {
  public:
    struct Sample {
        bool tdi;
        bool tms;
        bool operator==(const Sample&) const = default;
    };

    std::deque<bool> tdo_script;
    std::vector<Sample> samples;
    bool powered = true;

    bool clock(bool tdi, bool tms) override {
        drive(false, tdi, tms);
        const bool presented = tdo_;
        drive(true, tdi, tms);
        return presented;
    }
    void drive(bool tck, bool tdi, bool tms) override {
        if (tck && !tck_) {
            samples.push_back({tdi, tms});
            tdo_ = !tdo_;
        } else if (!tck && tck_) {
            tdo_ = false;
            if (!tdo_script.empty()) {
                tdo_ = tdo_script.front();
                tdo_script.pop_front();
            }
        }
        tck_ = tck;
    }
    bool tdo() const override { return tdo_; }
    bool target_power() const override { return powered; }
    bool tck() const { return tck_; }

  private:
    bool tck_ = true;
    bool tdo_ = false;
};

class SimPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        parallel::set_service_manager(nullptr);
        parallel::set_port_io(&port);
    }
    void TearDown() override {
        cable::cable_close();
        parallel::set_port_io(nullptr);
    }

    ScriptedJtagPort board;
    SimPrinterPort port{board};
    platform::ConsoleCapture console;
};

TEST_F(SimPortTest, OpensThroughTheCableLayerAndHoldsTheShiftContract) {
    ASSERT_EQ(cable::cable_open(0x00020000), STATUS_OK);
    EXPECT_EQ(cable::cable_ops().driver, &parallel::xpar_cable());
    EXPECT_EQ(cable::cable_ops().tdo_reverse, 1);
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(port.data(), 0x12) << "lines rest at TCK high, TDI and TMS low";
    board.samples.clear();

    // TDO in clock order: 1 0 0 1 1 1 0 1 | 0 1 1 1 0.
    board.tdo_script = {true, false, false, true, true, true, false,
                        true, false, true,  true, true, false};
    std::array<std::uint8_t, 2> buffer{0xA5, 0x3C};  // tdi and tdo share it
    cable::cable_shift(buffer.data(), buffer.data(), 13, 0, 1);

    std::vector<ScriptedJtagPort::Sample> expected;
    const std::array<int, 13> tdi_bits{1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1, 1};
    for (std::size_t i = 0; i < tdi_bits.size(); ++i) {
        expected.push_back({tdi_bits[i] == 1, i == 12});
    }
    EXPECT_EQ(board.samples, expected);
    EXPECT_EQ(buffer[0], 0xB9);  // 1,0,0,1,1,1,0,1 from bit 0 up
    EXPECT_EQ(buffer[1], 0x0E);  // 0,1,1,1,0 from bit 0 up, bits 5..7 clear
    EXPECT_TRUE(board.tck());
    EXPECT_EQ(port.data() & 0x07, 0x07) << "TCK high, TDI and TMS kept from the last clock";
}

TEST_F(SimPortTest, ShiftWithoutTdiHoldsTdiLow) {
    ASSERT_EQ(cable::cable_open(0x00020378), STATUS_OK);
    board.samples.clear();
    cable::cable_shift(nullptr, nullptr, 5, 1, 0);
    const std::vector<ScriptedJtagPort::Sample> expected = {
        {false, true}, {false, true}, {false, true}, {false, true}, {false, false}};
    EXPECT_EQ(board.samples, expected);
}

TEST_F(SimPortTest, OpenAndProbeFollowThePortAndTheBoard) {
    struct Case {
        const char* name;
        bool cable;
        bool access;
        bool powered;
        status_t status;
        const char* message;
        std::int32_t probe;
    };
    const std::array<Case, 4> cases{{
        {"powered board", true, true, true, STATUS_OK, "", 1},
        {"unpowered board", true, true, false, STATUS_OK, "", 0},
        {"no cable", false, true, true, STATUS_NO_CABLE, "No Probe\n", -1},
        {"no access", true, false, true, STATUS_NO_CABLE, "Can't access GIVEIO system\n", -1},
    }};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        port.attach_cable(c.cable);
        port.grant_access(c.access);
        board.powered = c.powered;
        console.clear();
        EXPECT_EQ(cable::cable_open(0x00020000), c.status);
        EXPECT_EQ(console.text(), c.message);
        if (c.probe >= 0) {
            EXPECT_EQ(cable::cable_ops().driver->probe(), c.probe);
        }
    }
}

TEST_F(SimPortTest, PortAnswersOnlyAtItsOwnAddresses) {
    SimPrinterPort other(board, 0x278);
    EXPECT_FALSE(other.acquire(0x378));
    EXPECT_TRUE(other.acquire(0x278));
    other.write(0x378, 0x00);
    EXPECT_EQ(other.read(0x378), 0xFF);
    other.write(0x27A, 0x0C);
    EXPECT_EQ(other.read(0x27A), 0x0C);
    other.write(0x278, 0x52);
    EXPECT_EQ(other.read(0x278), 0x52);
    EXPECT_EQ(other.read(0x279) & 0xA0, 0x20);
    other.write(0x278, 0x12);
    EXPECT_EQ(other.read(0x279) & 0xA0, 0x80);
}

}  // namespace
}  // namespace oscset::sim
