// Builds without a USB backend: no adapter is ever found.

#include "cables/usb/usb_device.hpp"

namespace oscset::usb {

bool install_hardware_usb() {
    return false;
}

}  // namespace oscset::usb
