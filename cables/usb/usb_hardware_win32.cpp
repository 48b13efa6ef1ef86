// The Windows hardware backend: the kernel driver first; WinUSB where no \\.\ezusb-N opens
// (64-bit Windows).

#include "cables/usb/ezusb_driver.hpp"
#include "cables/usb/winusb.hpp"

namespace oscset::usb {

bool install_hardware_usb() {
    static EzusbDriverBackend kernel_driver(windows_driver_calls());
    static WinusbBackend winusb(windows_winusb_calls());
    static FirstFoundBackend adapters(kernel_driver, winusb);
    set_usb_backend(&adapters);
    return true;
}

}  // namespace oscset::usb
