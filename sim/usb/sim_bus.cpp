#include "sim/usb/sim_bus.hpp"

#include "sim/usb/faulty_usb.hpp"

namespace oscset::sim {
namespace {

std::string port_name(std::size_t port) {
    return "port " + std::to_string(port + 1);
}

class PortDevice final : public ForwardingDevice {
  public:
    PortDevice(std::unique_ptr<usb::UsbDevice> inner, std::size_t port)
        : ForwardingDevice(std::move(inner)), location_(port_name(port)) {}
    std::string location() const override { return location_; }

  private:
    std::string location_;
};

}  // namespace

void SimBus::plug(usb::UsbBackend& adapter) {
    ports_.push_back(&adapter);
}

// Each open looks at the ports in turn, as far as the adapter it wants: an adapter that
// renumerates misses the look.
std::unique_ptr<usb::UsbDevice> SimBus::open(int index) {
    int seen = 0;
    for (std::size_t port = 0; port < ports_.size() && index >= 0; ++port) {
        std::unique_ptr<usb::UsbDevice> device = ports_[port]->open(0);
        if (device != nullptr && seen++ == index) {
            return std::make_unique<PortDevice>(std::move(device), port);
        }
    }
    return nullptr;
}

std::unique_ptr<usb::UsbDevice> SimBus::open_at(const std::string& location) {
    for (std::size_t port = 0; port < ports_.size(); ++port) {
        if (location == port_name(port)) {
            std::unique_ptr<usb::UsbDevice> device = ports_[port]->open(0);
            return device != nullptr ? std::make_unique<PortDevice>(std::move(device), port)
                                     : nullptr;
        }
    }
    return nullptr;
}

}  // namespace oscset::sim
