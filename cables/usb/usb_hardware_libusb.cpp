// The Linux hardware backend: the adapters through libusb.

#include "cables/usb/libusb_backend.hpp"

namespace oscset::usb {

bool install_hardware_usb() {
    set_usb_backend(&libusb_backend());
    return true;
}

}  // namespace oscset::usb
