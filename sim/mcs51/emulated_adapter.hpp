#pragma once
// The USB adapter as the host meets it behind the cable: an emulated EZ-USB chip running
// whatever firmware the host loads, on a modelled USB bus, with its port pins wired to a JTAG
// target (TCK PC1, TMS PC2, TDI PA5 out; TDO PC0, target power PC3 in).
//
// The chip's time advances only while a host call runs: a call lets the core run until its
// transfer is done, then returns. Packets take their full-speed bus time (64 bytes: about
// 51 us). Every call is bounded by a budget of emulated cycles, and a read that waits for the
// host's next write while the chip idles waits at most idle_wait_limit_ms on the time seam.
// Thread-safe: calls from any number of threads are served one at a time, and while one call
// waits for the chip, the others' transfers move too. The JTAG port is called from inside
// those calls, with the adapter's lock held: it must not call the adapter back.
//
// The host side as modelled: pipe N is the N-th endpoint of the interface in the enumerated
// configuration descriptor; a bulk read ends when it has its length or on a short packet; a
// packet longer than the rest of a read fails it; a zero-length transfer moves nothing.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "cables/usb/usb_device.hpp"
#include "sim/board/jtag_port.hpp"
#include "sim/mcs51/ezusb.hpp"
#include "sim/usb/faulty_usb.hpp"

namespace oscset::sim {

// The host driver's pipes: the endpoint addresses of interface 0, setting 0, in the order of
// the configuration descriptor and those after it.
std::vector<std::uint8_t> pipes_of(std::span<const std::uint8_t> configuration);

class EmulatedAdapter : public UnpluggableAdapter {
  public:
    static constexpr std::uint64_t CYCLES_PER_SECOND = 6'000'000;  // 24 MHz, 4 clocks a cycle

    struct Options {
        // Emulated cycles that one call may let pass before it fails (5 s of chip time).
        std::uint64_t call_budget_cycles = 5 * CYCLES_PER_SECOND;
        // Emulated time that one open lets pass while the adapter is off the bus.
        std::uint32_t absent_step_ms = 50;
        // How long a read waits for the host's next write while the chip has nothing to do.
        std::uint32_t idle_wait_limit_ms = 5000;
    };

    // Power-on: the core held in reset, the chip on the bus as its default device. `port`
    // must outlive the adapter and every handle it gives out.
    explicit EmulatedAdapter(JtagPort& port);
    EmulatedAdapter(JtagPort& port, Options options);
    ~EmulatedAdapter();
    EmulatedAdapter(const EmulatedAdapter&) = delete;
    EmulatedAdapter& operator=(const EmulatedAdapter&) = delete;

    // Adapter 0 only. While the adapter is off the bus, each open lets absent_step_ms of
    // emulated time pass and returns null if it is still away; on its return the host
    // enumerates it (descriptors, configuration) before handing out a handle. Handles fail
    // every call once the adapter has left the bus.
    std::unique_ptr<usb::UsbDevice> open(int index) override;
    void unplug() override;

    // Views for tests and benchmarks.
    std::uint64_t cycles() const;        // emulated machine cycles since power-on
    std::uint32_t enumerations() const;  // times the host has enumerated the adapter
    bool present() const;                // on the bus
    // While on the bus, a number that changes each time the adapter comes back; 0 while away.
    std::uint32_t connection() const;
    // The emulated cycles for the JTAG port while the adapter calls it (with the adapter's lock
    // held by the calling thread): what a logic analyser on the pins would time.
    std::uint64_t cycles_in_port_call() const;
    // Lets emulated time pass with no host activity.
    void advance(std::uint64_t cycles);
    // A control transfer on the current connection, as the host's USB stack sends it.
    bool control_in(const mcs51::SetupPacket& setup, std::span<std::uint8_t> data,
                    std::size_t& received);
    bool control_out(const mcs51::SetupPacket& setup, std::span<const std::uint8_t> data);

    class Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace oscset::sim
