#pragma once
// What the backends that speak USB to the adapter themselves (libusb, WinUSB) share: the
// adapter's identity, its endpoints by the driver's pipe number, and the effects of the
// kernel driver's control codes built from plain control transfers.

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace oscset::usb {

inline constexpr std::uint16_t ADAPTER_VENDOR_ID = 0x0547;
inline constexpr std::uint16_t ADAPTER_PRODUCT_ID = 0x2131;

inline constexpr std::uint8_t REQUEST_VENDOR_OUT = 0x40;   // vendor, device, host to device
inline constexpr std::uint8_t REQUEST_VENDOR_IN = 0xC0;    // vendor, device, device to host
inline constexpr std::uint8_t REQUEST_STANDARD_IN = 0x80;  // standard, device, device to host
inline constexpr std::uint8_t REQUEST_GET_DESCRIPTOR = 6;
inline constexpr std::uint8_t DESCRIPTOR_STRING = 3;
inline constexpr std::uint8_t ENDPOINT_IN = 0x80;

// The firmware's endpoints in interface order: the driver's pipe number is the index.
struct PipeEndpoint {
    std::uint8_t address;
    bool interrupt;
};
inline constexpr std::array<PipeEndpoint, 8> PIPE_ENDPOINTS{{
    {.address = 0x01, .interrupt = false},
    {.address = 0x02, .interrupt = false},
    {.address = 0x04, .interrupt = false},
    {.address = 0x06, .interrupt = false},
    {.address = 0x81, .interrupt = true},
    {.address = 0x82, .interrupt = false},
    {.address = 0x84, .interrupt = false},
    {.address = 0x86, .interrupt = false},
}};

// The endpoint behind `pipe` when it moves data in that direction; nullopt otherwise.
std::optional<PipeEndpoint> pipe_endpoint(std::uint32_t pipe, bool in);

// One control transfer on the adapter's default pipe.
struct ControlSetup {
    std::uint8_t type;
    std::uint8_t request;
    std::uint16_t value;
    std::uint16_t index;
    std::uint16_t length;
    bool operator==(const ControlSetup&) const = default;
};

// How a backend's control transfer ended.
enum class ControlOutcome {
    DONE,    // the data stage moved all `setup.length` bytes
    FAILED,  // refused, stalled or short
    GONE,    // the adapter left the bus during the transfer
};

class ControlPipe {
  public:
    virtual ControlOutcome control(const ControlSetup& setup, std::uint8_t* data) = 0;

  protected:
    ~ControlPipe() = default;
};

// The 0xA0 request with its one data byte (the CPU control register: 1 halts the core, 0
// releases it). Released from reset, renumerating firmware drops off the bus at once and may
// cut the request's status stage short: a release that finds the adapter gone has done its
// work.
bool vendor_request_byte(ControlPipe& pipe, std::uint8_t request, std::uint16_t value,
                         std::uint16_t index, std::uint8_t data);

// The image into internal RAM from address 0 with 0xA0 requests, then read back while the
// core is still held: a bad download is reported here, not found later as a dead adapter.
bool download_to_ram(ControlPipe& pipe, std::span<const std::uint8_t> image);

// GET_DESCRIPTOR for string `index` in `language`, asking for `length` bytes.
ControlSetup string_setup(std::uint8_t index, std::uint16_t language, std::uint16_t length);

}  // namespace oscset::usb
