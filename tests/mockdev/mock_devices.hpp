#pragma once
// Simulated hardware behind real device nodes, for the program's Linux backends: umockdev's
// preload library gives this process a fake /sys, udev database and /dev, and the ioctls on
// a node are answered here as the kernel's usbfs and ppdev drivers answer them. libusb-1.0
// and the ppdev backend run unchanged on top.
//
// The process must start with the preload (LD_PRELOAD=libumockdev-preload.so.0, after a
// sanitizer's runtime); mock_devices_missing() says why not otherwise. One testbed per
// process, created at the first use, before libusb starts, and kept to the process's end.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/time.hpp"
#include "tests/support/usb_functions.hpp"

namespace oscset::sim {
class SimPrinterPort;
}  // namespace oscset::sim

namespace oscset::mockdev {

// Null when device nodes can be emulated here, else a one-line reason.
const char* mock_devices_missing();

using testing::emulated_adapter_function;
using testing::sim_adapter_function;
using testing::UsbFunction;

struct UsbNodeCounts {
    std::uint32_t submits = 0;
    std::uint32_t discards = 0;         // accepted cancellations
    std::uint32_t failed_discards = 0;  // URBs that were no longer in flight
    std::uint32_t plugs = 0;            // times the node was added (renumerations + 1)
    bool claimed = false;               // the interface, by the host, now
};

// The USB bus: devices plugged into the testbed, each behind /dev/bus/usb/001/NNN, answering
// usbfs. While `time` is set, every sleep of the program is bus time for the hub: a device
// that left is removed (with its "remove" uevent), one that came back is added under a new
// device number, as the kernel's hub driver does.
class UsbBus {
  public:
    explicit UsbBus(platform::SimulatedTime* time = nullptr);
    ~UsbBus();  // unplugs every device
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Plugs a device in (when it is on the bus); the bus keeps it until its end.
    void plug(std::unique_ptr<UsbFunction> function);
    // One step of the hub: lets `ms` pass for every device and follows what changed.
    void tick(std::uint32_t ms);

    UsbNodeCounts counts(std::size_t device) const;
    std::string node(std::size_t device) const;  // the device node, empty while unplugged

    class Device;

  private:
    std::vector<std::unique_ptr<Device>> devices_;
    platform::SimulatedTime* time_;
};

// The printer port behind /dev/parport0, answering ppdev; `sysctl_dir` holds
// parport0/base-addr with the port's base, as the kernel's /proc/sys/dev/parport does.
class ParportNode {
  public:
    explicit ParportNode(sim::SimPrinterPort& port);
    ~ParportNode();
    ParportNode(const ParportNode&) = delete;
    ParportNode& operator=(const ParportNode&) = delete;

    const std::string& sysctl_dir() const { return sysctl_dir_; }
    bool claimed() const;
    // How the next claim is answered: 0 grants it, else the errno (EBUSY: another driver
    // holds the port).
    void refuse_claim(int error);

    class Handler;

  private:
    std::unique_ptr<Handler> handler_;
    std::string sysctl_dir_;
};

}  // namespace oscset::mockdev
