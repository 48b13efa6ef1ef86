#pragma once
// The simulated adapters as USB devices on a bus: descriptors, control transfers by setup
// packet, and transfers by pipe. The device-node harness (tests/mockdev/) puts them behind
// usbfs, the WinUSB double (winusb_bus.hpp) behind WinUSB's calls.

#include <cerrno>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

// The results are usbfs's: where the host's C library lacks a code, Linux's stands in.
#ifndef ESHUTDOWN
#define ESHUTDOWN 108
#endif

namespace oscset::sim {
class EmulatedAdapter;
class SimAdapter;
}  // namespace oscset::sim

namespace oscset::usb {
class UsbBackend;
}  // namespace oscset::usb

namespace oscset::testing {

// A USB device as its bus and the host's hub see it. Control and bulk calls may come from
// several threads at once and may block for the device's own bounded time.
class UsbFunction {
  public:
    virtual ~UsbFunction() = default;

    // Enumerated device and configuration descriptors, as the kernel's `descriptors`
    // attribute holds them; empty while the device is off the bus. A device that comes back
    // after leaving is a new connection with a new number.
    virtual std::vector<std::uint8_t> descriptors() = 0;
    virtual std::uint32_t connection() = 0;  // 0 while off the bus
    // Lets bus time pass while the host waits (`ms` nominal milliseconds).
    virtual void pass_time(std::uint32_t ms) = 0;

    // A control transfer: `setup` is the 8-byte setup packet, `data` the data stage. The
    // bytes moved, or -EPIPE for a stall, -ENODEV/-ESHUTDOWN once the device has left.
    virtual int control(std::span<const std::uint8_t, 8> setup, std::span<std::uint8_t> data) = 0;
    // A bulk or interrupt transfer on pipe N (the N-th endpoint of interface 0): the bytes
    // moved, or -errno; -EAGAIN when the device had nothing yet (it NAKs): the host
    // controller asks again for as long as the transfer is in flight. With `poll` an IN
    // transfer takes only what the device holds now, and -EAGAIN comes at once.
    virtual int bulk(std::uint32_t pipe, bool in, std::span<std::uint8_t> data, bool poll) = 0;
};

// The simulated adapters as USB functions; `handles` gives the handles that carry the
// transfers (the adapter itself, or a layer of device faults in front of it).
std::unique_ptr<UsbFunction> emulated_adapter_function(sim::EmulatedAdapter& adapter,
                                                       usb::UsbBackend& handles);
std::unique_ptr<UsbFunction> sim_adapter_function(sim::SimAdapter& adapter,
                                                  usb::UsbBackend& handles);

}  // namespace oscset::testing
