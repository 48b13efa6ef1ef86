#include <cstdio>

#include "cables/parallel/port_io.hpp"
#include "cables/usb/usb_device.hpp"
#include "frontend/driver.hpp"
#if defined(_WIN32)
#include "cables/usb/ezusb_driver.hpp"
#include "cables/usb/winusb.hpp"
#else
#include "cables/usb/libusb_backend.hpp"
#endif

int main(int argc, char** argv) {
    // The hardware behind the cables: the USB adapters and the printer port's registers.
#if defined(_WIN32)
    // The kernel driver first; WinUSB where no \\.\ezusb-N opens (64-bit Windows).
    static oscset::usb::EzusbDriverBackend kernel_driver(oscset::usb::windows_driver_calls());
    static oscset::usb::WinusbBackend winusb(oscset::usb::windows_winusb_calls());
    static oscset::usb::FirstFoundBackend adapters(kernel_driver, winusb);
    oscset::usb::set_usb_backend(&adapters);
#else
    oscset::usb::set_usb_backend(&oscset::usb::libusb_backend());
#endif
    oscset::parallel::install_hardware_port_io();
    return oscset::frontend::oscset_main(argc, argv, stdin, oscset::frontend::hardware_board());
}
