#pragma once
// A fixture whose tests start with the USB cable open on adapter 0 of their own backend (one
// that logs, with clear_logs()), the open's calls forgotten, and end with the cable closed
// and the backend removed.

#include <gtest/gtest.h>

#include "cables/usb/usb_cable.hpp"
#include "cables/usb/usb_device.hpp"
#include "platform/console.hpp"

namespace oscset::testing {

template <typename Backend>
class OpenUsbCable : public ::testing::Test {
  protected:
    void SetUp() override {
        usb::set_usb_backend(&fake);
        platform::ConsoleCapture quiet;
        ASSERT_EQ(usb::usb_cable_open(0, 115200, nullptr), 0);
        fake.clear_logs();
    }
    void TearDown() override {
        usb::usb_cable_close();
        usb::set_usb_backend(nullptr);
    }

    Backend fake;
    platform::ConsoleCapture console;
};

}  // namespace oscset::testing
