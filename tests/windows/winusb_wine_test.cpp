// The WinUSB backend's real system calls, on a machine without an adapter (as under wine,
// whose winusb.dll raises an exception from WinUsb_Initialize: nothing here reaches it).

#include <gtest/gtest.h>

#include "cables/usb/winusb.hpp"
#include "platform/console.hpp"

namespace oscset::usb {
namespace {

TEST(WinusbSystemCalls, NoAdapterIsFoundQuietly) {
    WinusbBackend backend(windows_winusb_calls());
    platform::ConsoleCapture console;
    for (const UsbDeviceEntry& entry : windows_winusb_calls().devices()) {
        EXPECT_FALSE(entry.path.empty());
    }
    EXPECT_EQ(backend.open(64), nullptr);
    EXPECT_EQ(console.text(), "");
}

TEST(WinusbSystemCalls, AnAdapterPathThatIsNotThereIsRefused) {
    std::uint32_t error = 0;
    EXPECT_EQ(windows_winusb_calls().open(R"(\\?\usb#vid_0547&pid_2131#none#{a5dcbf10})", error),
              nullptr);
    EXPECT_NE(error, 0u);
}

}  // namespace
}  // namespace oscset::usb
