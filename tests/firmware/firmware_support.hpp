#pragma once
// Helpers for running the adapter firmware in the emulated adapter: a JTAG port that records
// every clock, booting the firmware as the host does, and pipe exchanges with a reader thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "cables/usb/usb_device.hpp"
#include "sim/board/jtag_port.hpp"
#include "sim/mcs51/emulated_adapter.hpp"

namespace oscset::firmware_test {

inline constexpr std::uint32_t PIPE_EP1_OUT = 0;
inline constexpr std::uint32_t PIPE_BYTES = 1;           // EP2 OUT: byte mode, no answers
inline constexpr std::uint32_t PIPE_BYTES_ANSWERED = 2;  // EP4 OUT: byte mode with answers
inline constexpr std::uint32_t PIPE_CLOCKS = 3;          // EP6 OUT: one clock per byte
inline constexpr std::uint32_t PIPE_ANSWERS = 5;         // EP2 IN

// Records the clocks that the chain sees: TDI and TMS at every rising TCK edge. TDO for the
// k-th clock (counted from 0) comes from `tdo_of(k)` and shows after that clock's falling edge.
class RecordingPort : public sim::JtagPort {
  public:
    struct Clock {
        bool tdi;
        bool tms;
    };

    bool clock(bool tdi, bool tms) override;
    void drive(bool tck, bool tdi, bool tms) override;
    bool tdo() const override { return tdo_; }
    bool target_power() const override { return power; }

    std::vector<Clock> clocks;
    std::size_t drives = 0;
    bool tck = true;  // the levels as last driven
    bool tdi = true;
    bool tms = true;
    bool power = true;
    std::function<bool(std::size_t)> tdo_of = [](std::size_t) { return false; };

  private:
    std::size_t falls_ = 0;
    bool tdo_ = false;
};

// Halts the chip, downloads the committed firmware image, runs it and opens the adapter
// again once it has come back with its own descriptors; `absent_opens` counts the opens that
// found it away. Null on failure.
std::unique_ptr<usb::UsbDevice> boot(sim::EmulatedAdapter& adapter, int* absent_opens = nullptr);

// Sends `bytes` on `pipe` while a second thread reads as many answers from pipe 5, as the
// USB cable does. Returns the answers; `ok` is false when a call failed.
std::vector<std::uint8_t> exchange(usb::UsbDevice& device, std::uint32_t pipe,
                                   std::span<const std::uint8_t> bytes, bool& ok);

// Writes everything on a pipe (no answers expected).
bool send(usb::UsbDevice& device, std::uint32_t pipe, std::span<const std::uint8_t> bytes);

}  // namespace oscset::firmware_test
