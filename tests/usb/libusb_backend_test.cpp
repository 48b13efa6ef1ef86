#include <gtest/gtest.h>

#include "cables/usb/libusb_backend.hpp"
#include "platform/console.hpp"

namespace oscset::usb {
namespace {

// Whatever this machine has (no USB at all, libusb refusing to start, or adapters), an index
// beyond any bus finds nothing, quietly.
TEST(LibusbBackend, AnAdapterThatIsNotThereIsNotFound) {
    platform::ConsoleCapture console;
    for (const int index : {-1, 1000}) {
        EXPECT_EQ(libusb_backend().open(index), nullptr) << index;
    }
    EXPECT_EQ(console.text(), "");
}

}  // namespace
}  // namespace oscset::usb
