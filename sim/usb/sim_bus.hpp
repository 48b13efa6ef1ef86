#pragma once
// The simulated adapters on one USB bus, in port order. Adapter N is the Nth of them on the
// bus now, as a host counts them; a handle names its port, where a booted adapter is found
// again whatever its index meanwhile.

#include <memory>
#include <string>
#include <vector>

#include "cables/usb/usb_device.hpp"

namespace oscset::sim {

class SimBus final : public usb::UsbBackend {
  public:
    // Plugs an adapter (what opens its handles: it, or its faults) into the next port. It
    // must outlive the bus and every handle.
    void plug(usb::UsbBackend& adapter);

    std::unique_ptr<usb::UsbDevice> open(int index) override;
    std::unique_ptr<usb::UsbDevice> open_at(const std::string& location) override;

  private:
    std::vector<usb::UsbBackend*> ports_;
};

}  // namespace oscset::sim
