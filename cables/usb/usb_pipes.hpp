#pragma once
// The adapter's bulk pipes and the reader thread that performs every answer read.
//
// Three outbound pipes carry JTAG traffic (1: byte mode without answer, 2: byte mode with one
// answer byte per byte, 3: per-clock bytes and commands, one answer byte each); pipe 5
// carries every answer. Answers are read by a dedicated thread on its own handle, so that
// the read is posted before the write that provokes it goes out.
//
// Results: 0 success, -1 a refused driver call (or transfers not ready), -2 a failed answer
// read. Messages are printed here, once per failed exchange.

#include <cstdint>
#include <memory>

#include "cables/usb/usb_device.hpp"

namespace oscset::usb {

using UsbDeviceSlot = std::unique_ptr<UsbDevice>;

inline constexpr std::uint32_t PIPE_BYTE_MODE = 1;           // EP2 OUT, no answer
inline constexpr std::uint32_t PIPE_BYTE_MODE_ANSWERED = 2;  // EP4 OUT
inline constexpr std::uint32_t PIPE_COMMAND = 3;             // EP6 OUT
inline constexpr std::uint32_t PIPE_ANSWER = 5;              // EP2 IN
inline constexpr std::uint32_t USB_CHUNK = 0x8000;           // bytes per driver call, at most
inline constexpr std::uint32_t USB_READ_WAIT_MS = 5000;

// The adapter's two handles: control (strings, vendor requests, download, every bulk write)
// and read (bulk reads by the reader thread only). Filled by the boot; released by
// usb_reader_stop.
UsbDeviceSlot& usb_control_handle();
UsbDeviceSlot& usb_read_handle();

// While set (the cable's open is running, has failed, or the cable is closed) every transfer
// below returns -1 at once and touches nothing. Set at program start.
void usb_set_not_ready(bool not_ready);
bool usb_not_ready();

// Writes `length` bytes to `pipe` on the control handle in calls of at most USB_CHUNK bytes,
// continuing short transfers. 0 when every byte was accepted (a length of 0 makes no call);
// -1 when a call failed, reported more than it was offered, or made no progress several times
// in a row. Prints nothing.
std::int32_t usb_bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length);

// Starts the reader thread on the read handle, idle. 0, or -1 when the thread cannot start.
std::int32_t usb_reader_start();

// Hands a read of `length` (at most USB_CHUNK) bytes from `pipe` to the reader, but only to
// an idle reader whose last read succeeded: waits up to USB_READ_WAIT_MS for it to become
// idle. True when the read was handed over.
bool usb_read_arm(std::uint32_t pipe, std::uint32_t length);

// With `wait`, waits up to USB_READ_WAIT_MS for the reader to become idle. Returns the answer
// bytes still expected: 0 = the last read is complete, -1 = it failed, positive = outstanding.
std::int32_t usb_read_wait(bool wait);

// Pipe 1: sends byte-mode data whose TDO is not wanted. Prints "error ! USB SPI TX\n" when
// the write fails.
std::int32_t usb_pipe_send(const std::uint8_t* data, std::uint32_t length);

// Pipe 2: sends byte-mode data and stores the `length` answer bytes in `answer` (which may be
// `data`). Prints "error ! USB SPI TX-RX\n" on failure.
std::int32_t usb_pipe_exchange(const std::uint8_t* data, std::uint8_t* answer,
                               std::uint32_t length);

// Pipe 3: sends per-clock bytes or commands; the answers replace the bytes sent, in place.
// Prints "error ! USB SPI Protcol\n" on failure.
std::int32_t usb_command_exchange(std::uint8_t* buffer, std::uint32_t length);

// Ends the reader (and waits for it), then closes the control handle and the read handle,
// and sets usb_not_ready. Safe to call when nothing is open.
void usb_reader_stop();

}  // namespace oscset::usb
