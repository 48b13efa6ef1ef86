#include "sim/usb/faulty_usb.hpp"

namespace oscset::sim {

class FaultyUsb::Device final : public ForwardingDevice {
  public:
    Device(FaultyUsb& faults, std::unique_ptr<usb::UsbDevice> inner)
        : ForwardingDevice(std::move(inner)), faults_(faults) {}

    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        transferred = 0;
        return faults_.start_transfer(false) &&
               ForwardingDevice::bulk_write(pipe, data, length, transferred);
    }
    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        transferred = 0;
        return faults_.start_transfer(true) &&
               ForwardingDevice::bulk_read(pipe, buffer, length, transferred);
    }
    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        transferred = 0;
        return faults_.start_transfer(true) &&
               ForwardingDevice::poll_read(pipe, buffer, length, transferred);
    }

  private:
    FaultyUsb& faults_;
};

FaultyUsb::FaultyUsb(UnpluggableAdapter& adapter, UsbFaults faults)
    : adapter_(adapter), faults_(faults) {}

std::unique_ptr<usb::UsbDevice> FaultyUsb::open(int index) {
    auto inner = adapter_.open(index);
    if (inner == nullptr) {
        return nullptr;
    }
    return std::make_unique<Device>(*this, std::move(inner));
}

bool FaultyUsb::start_transfer(bool read) {
    std::lock_guard lock(mutex_);
    if (!gone_ && faults_.unplug && transfers_ == *faults_.unplug) {
        gone_ = true;
        adapter_.unplug();
    }
    ++transfers_;
    if (gone_) {
        return false;
    }
    if (!read) {
        ++writes_;
        return (!faults_.fail_writes || writes_ <= *faults_.fail_writes) &&
               (!faults_.lose_write || writes_ != *faults_.lose_write + 1);
    }
    ++reads_;
    return !faults_.fail_reads || reads_ <= *faults_.fail_reads;
}

std::uint32_t FaultyUsb::bulk_transfers() const {
    std::lock_guard lock(mutex_);
    return transfers_;
}

std::uint32_t FaultyUsb::bulk_reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
}

}  // namespace oscset::sim
