#include "cables/usb/usb_device.hpp"

namespace oscset::usb {
namespace {

UsbBackend* installed = nullptr;

}  // namespace

void set_usb_backend(UsbBackend* backend) {
    installed = backend;
}

UsbBackend* usb_backend() {
    return installed;
}

}  // namespace oscset::usb
