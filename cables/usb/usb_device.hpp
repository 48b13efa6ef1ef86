#pragma once
// USB device access: the effects of the EZ-USB kernel driver's control codes, and the open of
// adapter N. One backend per platform (libusb on Linux; the kernel driver, else WinUSB, on
// Windows) and simulated ones; the USB cable above never knows which.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/installed.hpp"

namespace oscset::usb {

inline constexpr std::size_t STRING_ANSWER_SIZE = 130;
// How long a poll_read waits for data: what an adapter holds is there at once.
inline constexpr std::uint32_t POLL_READ_MS = 20;

// One open handle to an adapter. The cable keeps two to the same adapter (control and read);
// a bulk read on one may be outstanding while the other writes. Every call is synchronous
// and bounded in time; false means the call failed, as a refused control call does.
class UsbDevice {
  public:
    virtual ~UsbDevice() = default;

    // Vendor request, host to device, with one data byte (0xA0 at 0x7F92 halts or runs the
    // 8051).
    virtual bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                                std::uint8_t data) = 0;
    // Loads the image into the 8051's memory from address 0.
    virtual bool download(std::span<const std::uint8_t> image) = 0;
    // The string descriptor as the device returns it (length, type, UTF-16LE units), into a
    // 130-byte answer buffer.
    virtual bool get_string(std::uint8_t index, std::uint16_t language,
                            std::span<std::uint8_t, STRING_ANSWER_SIZE> answer) = 0;
    // Bulk transfers by the driver's pipe number (the endpoint's place in the interface).
    // `transferred` receives the bytes actually moved.
    virtual bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                            std::uint32_t& transferred) = 0;
    virtual bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t& transferred) = 0;
    // A bulk read that waits at most POLL_READ_MS: for emptying a pipe of what an earlier
    // run left. False when nothing came, or when the backend cannot read that way.
    virtual bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                           std::uint32_t& transferred) {
        (void)pipe;
        (void)buffer;
        (void)length;
        transferred = 0;
        return false;
    }
    // Where the adapter is plugged in, as the backend names it: the same before and after the
    // firmware's renumeration, whatever the adapter's index meanwhile. Empty where the backend
    // cannot tell.
    virtual std::string location() const { return {}; }
};

class UsbBackend {
  public:
    // A new handle to adapter `index` (0 = the first), or null when there is none.
    virtual std::unique_ptr<UsbDevice> open(int index) = 0;
    // A new handle to the adapter at `location` (as a handle's location() named it), or null
    // when none is there now.
    virtual std::unique_ptr<UsbDevice> open_at(const std::string& location) {
        (void)location;
        return nullptr;
    }

  protected:
    ~UsbBackend() = default;
};

// Adapter N from the first of two backends that has one (on Windows: the kernel driver's,
// then WinUSB's).
class FirstFoundBackend final : public UsbBackend {
  public:
    FirstFoundBackend(UsbBackend& first, UsbBackend& second) : first_(first), second_(second) {}
    std::unique_ptr<UsbDevice> open(int index) override;
    std::unique_ptr<UsbDevice> open_at(const std::string& location) override;

  private:
    UsbBackend& first_;
    UsbBackend& second_;
};

// The backend that the USB cable uses; the program installs one before it opens the cable.
// With none installed no adapter is found.
inline constexpr auto set_usb_backend = platform::Installed<UsbBackend>::set;
inline constexpr auto usb_backend = platform::Installed<UsbBackend>::get;

// Installs this platform's hardware backend (libusb; on Windows the kernel driver, else
// WinUSB). Returns false where the build has none (then nothing is installed).
bool install_hardware_usb();

}  // namespace oscset::usb
