#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cables/cable.hpp"
#include "tests/support/recording_cable.hpp"

namespace oscset::cable {
namespace {

using testing::RecordingCable;
using events_t = std::vector<std::string>;

// Recording cables behind both names for the length of a test.
class CableSelect : public ::testing::Test {
  protected:
    void SetUp() override {
        cable_set_driver(USB_CABLE_NAME, &usb);
        cable_set_driver(PARALLEL_CABLE_NAME, &parallel);
    }
    void TearDown() override {
        cable_close();
        cable_set_driver(USB_CABLE_NAME, nullptr);
        cable_set_driver(PARALLEL_CABLE_NAME, nullptr);
    }
    RecordingCable usb;
    RecordingCable parallel;
};

TEST_F(CableSelect, AutomaticSelectionFallsBackToTheParallelCable) {
    usb.open_result = 2;
    EXPECT_EQ(cable_open(CABLE_AUTOMATIC), STATUS_OK);
    EXPECT_EQ(cable_is_open(), 1);
    EXPECT_EQ(cable_ops().driver, &parallel);
    EXPECT_EQ(cable_ops().tdo_reverse, 1);
    EXPECT_EQ(usb.events, events_t{"open 0"});
    EXPECT_EQ(parallel.events, events_t{"open 888"});  // 0x378
    EXPECT_EQ(parallel.last_speed, CABLE_SPEED);
    EXPECT_TRUE(parallel.got_description);
}

TEST_F(CableSelect, AutomaticSelectionWithNeitherCable) {
    usb.open_result = 2;
    parallel.open_result = 1;
    EXPECT_EQ(cable_open(CABLE_AUTOMATIC), STATUS_NO_CABLE);
    EXPECT_EQ(cable_is_open(), 0);
    EXPECT_EQ(cable_ops().driver, &parallel);
    cable_close();
    EXPECT_EQ(parallel.events, events_t{"open 888"}) << "a failed open is never closed";
}

TEST_F(CableSelect, AutomaticSelectionPrefersTheUsbAdapter) {
    EXPECT_EQ(cable_open(CABLE_AUTOMATIC), STATUS_OK);
    EXPECT_EQ(cable_ops().driver, &usb);
    EXPECT_TRUE(parallel.events.empty());
}

TEST_F(CableSelect, UnknownKindsCallNothingButCloseWhatWasOpen) {
    ASSERT_EQ(cable_open(CABLE_FIRST_USB), STATUS_OK);
    for (std::uint32_t id : {0x00030000u, 0x00000001u, 0xFFFF0000u, 0x00000378u}) {
        EXPECT_EQ(cable_open(id), STATUS_UNKNOWN_CABLE) << std::hex << id;
        EXPECT_EQ(cable_is_open(), 0);
    }
    EXPECT_EQ(usb.events, (events_t{"open 0", "close"}));
    EXPECT_TRUE(parallel.events.empty());
}

TEST_F(CableSelect, ThePortGoesToTheCableUnchanged) {
    EXPECT_EQ(cable_open(0x00010001), STATUS_OK);
    EXPECT_EQ(usb.last_port, 1);
    EXPECT_EQ(cable_open(0x00020000), STATUS_OK);
    EXPECT_EQ(parallel.last_port, 0);
    EXPECT_EQ(cable_open(0x00020278), STATUS_OK);
    EXPECT_EQ(parallel.last_port, 0x278);
}

TEST_F(CableSelect, ReopeningClosesTheOpenCableOnceFirst) {
    ASSERT_EQ(cable_open(CABLE_FIRST_USB), STATUS_OK);
    ASSERT_EQ(cable_open(CABLE_PARALLEL_378), STATUS_OK);
    EXPECT_EQ(usb.events, (events_t{"open 0", "close"}));
    usb.open_result = 2;
    EXPECT_EQ(cable_open(CABLE_FIRST_USB), STATUS_NO_CABLE);
    EXPECT_EQ(parallel.events, (events_t{"open 888", "close"}));
    EXPECT_EQ(cable_is_open(), 0);
}

TEST_F(CableSelect, CloseWithNothingOpenCallsNothing) {
    EXPECT_EQ(cable_close(), STATUS_OK);
    ASSERT_EQ(cable_open(CABLE_FIRST_USB), STATUS_OK);
    EXPECT_EQ(cable_close(), STATUS_OK);
    EXPECT_EQ(cable_close(), STATUS_OK);
    EXPECT_EQ(usb.events, (events_t{"open 0", "close"}));
}

TEST_F(CableSelect, BindingKnowsOnlyTheTwoNames) {
    ASSERT_EQ(cable_bind(USB_CABLE_NAME), 0);
    EXPECT_EQ(cable_ops().driver, &usb);
    for (const char* name :
         {"spc_usb", "SPC_XPAR", "spc_xpar ", "", static_cast<const char*>(nullptr)}) {
        EXPECT_EQ(cable_bind(name), -1);
        EXPECT_EQ(cable_ops().driver, &usb) << "the table stays as it was";
    }
    EXPECT_EQ(cable_bind(PARALLEL_CABLE_NAME), 0);
    EXPECT_EQ(cable_ops().driver, &parallel);
    EXPECT_FALSE(cable_set_driver("spc_other", &usb));
}

}  // namespace
}  // namespace oscset::cable
