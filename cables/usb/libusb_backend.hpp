#pragma once
// The adapters on this machine through libusb-1.0 (Linux).

#include "cables/usb/usb_device.hpp"
#include "cables/usb/usb_requests.hpp"

namespace oscset::usb {

// The backend that finds adapter N as the Nth device 0547:2131 on the bus. libusb starts on
// the first open; when it cannot, no adapter is ever found. install_hardware_usb installs it.
UsbBackend& libusb_backend();

}  // namespace oscset::usb
