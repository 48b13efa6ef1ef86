#pragma once
// The EZ-USB adapter: opening its handles, telling whether it runs the JTAG firmware, and
// loading the firmware into it when it does not.
//
// Results: 0 success, -1 failure. The CPU and download requests print their own message when
// the device refuses them; nothing else here prints except the boot loop's progress marks.

#include <cstdint>
#include <span>

#include "cables/usb/usb_pipes.hpp"

namespace oscset::usb {

inline constexpr std::uint8_t EZUSB_LOAD_REQUEST = 0xA0;  // the chip's own RAM-load request
inline constexpr std::uint16_t EZUSB_CPUCS = 0x7F92;      // 8051 CPU control register
inline constexpr std::uint16_t EZUSB_STRING_LANGUAGE = 0x001B;
inline constexpr std::size_t EZUSB_STRING_TEXT_SIZE = 128;
inline constexpr int EZUSB_BOOT_TRIES = 200;

// Opens a new handle to adapter `index` into `slot` (left empty when there is none).
// 0 when the slot holds a handle, -1 otherwise. Prints nothing.
std::int32_t ezusb_open_device(int index, UsbDeviceSlot& slot);

// Closes the slot's handle, if any. Always 0.
std::int32_t ezusb_close_device(UsbDeviceSlot& slot);

// Reads string descriptor `index` and keeps the low byte of each UTF-16 unit, NUL-terminated
// in `text` (bounded by the 130-byte answer and by `text`). 0, or -1 when the read fails
// (then `text` is the empty string). Prints nothing.
std::int32_t ezusb_get_string(UsbDevice& control, std::uint8_t index, std::span<char> text);

// Holds the 8051 in reset / releases it. 0, or prints "i8051 halt err.\n" /
// "i8051 run err.\n" and returns -1.
std::int32_t ezusb_cpu_halt(UsbDevice& control);
std::int32_t ezusb_cpu_run(UsbDevice& control);

// Loads the image into the 8051's RAM. 0, or prints "usb dwnload err.\n" and returns -1.
std::int32_t ezusb_download(UsbDevice& control, std::span<const std::uint8_t> image);

// Finds adapter `index`, boots it with `image` unless it already identifies by the two
// strings, and waits (at most EZUSB_BOOT_TRIES tries) for it to come back running the image:
// the adapter at the place where it was found (UsbDevice::location), where the backend names
// places.
// 0 when it runs the firmware: both handles are open and the reader thread runs. -1
// otherwise, with no handle left open. Prints the progress marks "-Boot", "-Wait", ".",
// "-Reconnect" without a line end.
std::int32_t ezusb_boot(int index, std::span<const std::uint8_t> image, const char* manufacturer,
                        const char* product);

}  // namespace oscset::usb
