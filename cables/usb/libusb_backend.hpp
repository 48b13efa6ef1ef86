#pragma once
// The adapters on this machine through libusb-1.0 (Linux).

#include "cables/usb/usb_device.hpp"

namespace oscset::usb {

inline constexpr std::uint16_t ADAPTER_VENDOR_ID = 0x0547;
inline constexpr std::uint16_t ADAPTER_PRODUCT_ID = 0x2131;

// The backend that finds adapter N as the Nth device 0547:2131 on the bus. libusb starts on
// the first open; when it cannot, no adapter is ever found. The program's main installs it:
// set_usb_backend(&libusb_backend()).
UsbBackend& libusb_backend();

}  // namespace oscset::usb
