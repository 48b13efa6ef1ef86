#pragma once
// Device faults between the host and a simulated adapter, for users who want to see what the
// program does when the hardware misbehaves, and for tests. Bulk transfers are counted over
// every handle, reads and writes together, in the order the host starts them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "cables/usb/usb_device.hpp"

namespace oscset::sim {

struct UsbFaults {
    // Bulk reads the adapter answers; every later one fails at once (a pulled cable).
    std::optional<std::uint32_t> fail_reads = std::nullopt;
    // Bulk transfers the adapter takes; as the host starts the next one the adapter leaves
    // the bus for good.
    std::optional<std::uint32_t> unplug = std::nullopt;
    // The adapter runs its firmware and holds an answer that an interrupted earlier run
    // left unread. Served by the adapters themselves.
    bool stale = false;
};

// An adapter that can be pulled off the bus.
class UnpluggableAdapter : public usb::UsbBackend {
  public:
    // From now on open finds nothing, every handle's calls fail, and a call that waits for
    // the adapter fails at once.
    virtual void unplug() = 0;

  protected:
    ~UnpluggableAdapter() = default;
};

class FaultyUsb final : public usb::UsbBackend {
  public:
    // `adapter` must outlive this object and every handle it gives out.
    FaultyUsb(UnpluggableAdapter& adapter, UsbFaults faults);

    std::unique_ptr<usb::UsbDevice> open(int index) override;

    std::uint32_t bulk_transfers() const;  // started so far, the refused ones included
    std::uint32_t bulk_reads() const;

    class Device;

  private:
    friend class Device;
    // Counts a bulk transfer as it starts; false when the adapter is gone or the fault
    // refuses it.
    bool start_transfer(bool read);

    UnpluggableAdapter& adapter_;
    const UsbFaults faults_;
    mutable std::mutex mutex_;
    std::uint32_t transfers_ = 0;
    std::uint32_t reads_ = 0;
    bool gone_ = false;
};

}  // namespace oscset::sim
