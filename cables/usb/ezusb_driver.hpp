#pragma once
// The adapters on Windows through the EZ-USB kernel driver: the device path "\\.\ezusb-N"
// and five device I/O control codes. The calls go through DriverCalls, so that a test can
// see every record exactly as the driver would.

#include <cstdint>

#include "cables/usb/usb_device.hpp"

namespace oscset::usb {

inline constexpr std::uint32_t IOCTL_EZUSB_VENDOR_REQUEST = 0x222014;
inline constexpr std::uint32_t IOCTL_EZUSB_ANCHOR_DOWNLOAD = 0x22201C;
inline constexpr std::uint32_t IOCTL_EZUSB_GET_STRING = 0x222044;
inline constexpr std::uint32_t IOCTL_EZUSB_BULK_WRITE = 0x222051;
inline constexpr std::uint32_t IOCTL_EZUSB_BULK_READ = 0x22204E;
inline constexpr std::size_t VENDOR_REQUEST_RECORD_SIZE = 10;
inline constexpr std::size_t STRING_REQUEST_RECORD_SIZE = 4;
inline constexpr std::size_t PIPE_RECORD_SIZE = 4;
// Every call is bounded. A bulk read outlasts the reader's hand-over wait, so that an
// exchange reports a missing answer before the read itself gives up.
inline constexpr std::uint32_t DRIVER_CONTROL_TIMEOUT_MS = 5000;
inline constexpr std::uint32_t DRIVER_WRITE_TIMEOUT_MS = 5000;
inline constexpr std::uint32_t DRIVER_READ_TIMEOUT_MS = 6000;

// The operating-system calls: CreateFileA (write access, write sharing, open-existing,
// overlapped I/O), DeviceIoControl and CloseHandle. A handle is an opaque value; `invalid` is
// what a failed open returns.
class DriverCalls {
  public:
    virtual void* open(const char* path) = 0;
    // One control call, waited for at most `timeout_ms`; a call still pending then is
    // cancelled (or, if the driver cannot cancel it, left to the process's exit) and fails.
    virtual bool control(void* handle, std::uint32_t code, const void* in, std::uint32_t in_size,
                         void* out, std::uint32_t out_size, std::uint32_t& returned,
                         std::uint32_t timeout_ms) = 0;
    virtual void close(void* handle) = 0;
    virtual void* invalid() const = 0;

  protected:
    ~DriverCalls() = default;
};

// The backend over the given calls; the program's main installs it over the real ones.
class EzusbDriverBackend final : public UsbBackend {
  public:
    explicit EzusbDriverBackend(DriverCalls& calls) : calls_(calls) {}
    std::unique_ptr<UsbDevice> open(int index) override;

  private:
    DriverCalls& calls_;
};

// The real calls (Windows only).
DriverCalls& windows_driver_calls();

}  // namespace oscset::usb
