#pragma once
// WinUSB's calls answered by simulated USB devices on a bus, as Windows answers them: SetupAPI
// lists a device while it is on the bus, at the device path of its port (the same across its
// renumerations); a WinUSB handle serves one connection; the pipes are those of the enumerated
// configuration (a blank EZ-USB has none), and only they take a time-out; a transfer on a
// pipe without one fails the test, for on Windows it could wait for ever.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cables/usb/winusb.hpp"
#include "platform/time.hpp"
#include "tests/support/usb_functions.hpp"

namespace oscset::testing {

class WinusbBus final : public usb::WinusbCalls {
  public:
    // While `time` is set, every sleep of the program is bus time for the devices.
    explicit WinusbBus(platform::SimulatedTime* time = nullptr);
    ~WinusbBus();
    WinusbBus(const WinusbBus&) = delete;
    WinusbBus& operator=(const WinusbBus&) = delete;

    // Plugs a device, bound to WinUSB, into the next port.
    void plug(std::unique_ptr<UsbFunction> function);
    // One look of the hub: lets `ms` pass for every device and enumerates those that came.
    void tick(std::uint32_t ms);
    int open_handles() const;

    std::vector<usb::UsbDeviceEntry> devices() override;
    void* open(const std::string& path, std::uint32_t& error) override;
    void close(void* handle) override;
    std::uint32_t set_auto_suspend(void* handle, bool on) override;
    std::vector<std::uint8_t> pipes(void* handle) override;
    std::uint32_t set_pipe_timeout(void* handle, std::uint8_t endpoint, std::uint32_t ms) override;
    std::uint32_t control(void* handle, const usb::ControlSetup& setup, std::uint8_t* data,
                          std::uint32_t& transferred) override;
    std::uint32_t write_pipe(void* handle, std::uint8_t endpoint, const std::uint8_t* data,
                             std::uint32_t length, std::uint32_t& transferred) override;
    std::uint32_t read_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred) override;
    std::uint32_t poll_pipe(void* handle, std::uint8_t endpoint, std::uint8_t* buffer,
                            std::uint32_t length, std::uint32_t& transferred,
                            std::uint32_t wait_ms) override;

    struct Port;
    struct Handle;

  private:
    std::uint32_t transfer(void* handle, std::uint8_t endpoint, std::span<std::uint8_t> data,
                           std::uint32_t& transferred, bool poll);

    platform::SimulatedTime* time_;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Port>> ports_;
    int open_handles_ = 0;
};

}  // namespace oscset::testing
