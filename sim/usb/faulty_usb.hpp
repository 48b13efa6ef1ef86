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
    // Bulk writes the adapter takes; every later one fails at once, and reads still answer
    // what reached it.
    std::optional<std::uint32_t> fail_writes = std::nullopt;
    // Bulk writes the adapter takes before it loses one, which fails at once; the writes
    // after it are taken again.
    std::optional<std::uint32_t> lose_write = std::nullopt;
    // Bulk transfers the adapter takes; as the host starts the next one the adapter leaves
    // the bus for good.
    std::optional<std::uint32_t> unplug = std::nullopt;
    // The adapter runs its firmware and holds an answer that an interrupted earlier run
    // left unread. Served by the adapters themselves.
    bool stale = false;
};

// Passes every call on to another handle; a fault overrides the calls it changes.
class ForwardingDevice : public usb::UsbDevice {
  public:
    explicit ForwardingDevice(std::unique_ptr<usb::UsbDevice> inner) : inner_(std::move(inner)) {}

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        return inner_->vendor_request(request, value, index, data);
    }
    bool download(std::span<const std::uint8_t> image) override { return inner_->download(image); }
    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, usb::STRING_ANSWER_SIZE> answer) override {
        return inner_->get_string(index, language, answer);
    }
    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        return inner_->bulk_write(pipe, data, length, transferred);
    }
    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return inner_->bulk_read(pipe, buffer, length, transferred);
    }
    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        return inner_->poll_read(pipe, buffer, length, transferred);
    }
    std::string location() const override { return inner_->location(); }

  private:
    std::unique_ptr<usb::UsbDevice> inner_;
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
    std::uint32_t writes_ = 0;
    bool gone_ = false;
};

}  // namespace oscset::sim
