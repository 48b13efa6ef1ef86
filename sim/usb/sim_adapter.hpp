#pragma once
// A simulated USB adapter: an EZ-USB that, once it runs the JTAG firmware, drives a simulated
// JTAG port exactly as the firmware does (per-clock bytes and mode commands on pipe 3, byte
// mode on pipes 1 and 2, every answer on pipe 5, target power on PC3).

#include <array>
#include <cstdint>
#include <memory>

#include "cables/usb/usb_device.hpp"
#include "sim/board/jtag_port.hpp"
#include "sim/usb/faulty_usb.hpp"

namespace oscset::sim {

enum class SimAdapterMode {
    ABSENT,            // nothing on the bus
    RUNNING,           // already runs the firmware (loaded by an earlier run)
    FRESH,             // a blank EZ-USB: takes halt, download and run, then comes back RUNNING
    REFUSES_DOWNLOAD,  // a blank EZ-USB whose download fails
    NEVER_RETURNS,     // a blank EZ-USB that, once released, never comes back on the bus
};

struct SimAdapterConfig {
    SimAdapterMode mode = SimAdapterMode::FRESH;
    int offline_opens = 3;  // opens that find nothing while it re-enumerates
    // Runs the firmware (whatever the mode) and holds, unread, the one-packet answer to a
    // two-byte command exchange that an earlier run left.
    bool stale_answer = false;
};

struct SimAdapterCounts {
    std::uint32_t opens = 0;         // opens that found the adapter
    std::uint32_t missed_opens = 0;  // opens that found nothing
    std::uint32_t vendor_requests = 0;
    std::uint32_t downloads = 0;
    std::array<std::uint32_t, 8> write_calls{};  // by pipe
    std::array<std::uint64_t, 8> bytes_written{};
    std::uint32_t read_calls = 0;
    std::uint64_t bytes_read = 0;
    std::uint64_t clocks = 0;  // TCK rising edges made on the port
};

class SimAdapter final : public UnpluggableAdapter {
  public:
    // Adapter 0 only. The port must outlive every handle; it is called under the adapter's
    // lock, from whichever thread writes.
    explicit SimAdapter(JtagPort& port, SimAdapterConfig config = {});
    ~SimAdapter();
    SimAdapter(const SimAdapter&) = delete;
    SimAdapter& operator=(const SimAdapter&) = delete;

    std::unique_ptr<usb::UsbDevice> open(int index) override;
    void unplug() override;

    bool firmware_running() const;
    int open_handles() const;
    SimAdapterCounts counts() const;
    void reset_counts();

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace oscset::sim
