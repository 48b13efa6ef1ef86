#include "cables/usb/usb_device.hpp"

namespace oscset::usb {

std::unique_ptr<UsbDevice> FirstFoundBackend::open(int index) {
    std::unique_ptr<UsbDevice> device = first_.open(index);
    return device != nullptr ? std::move(device) : second_.open(index);
}

std::unique_ptr<UsbDevice> FirstFoundBackend::open_at(const std::string& location) {
    std::unique_ptr<UsbDevice> device = first_.open_at(location);
    return device != nullptr ? std::move(device) : second_.open_at(location);
}

}  // namespace oscset::usb
