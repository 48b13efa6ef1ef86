#include "sim/usb/faulty_usb.hpp"

namespace oscset::sim {

class FaultyUsb::Device final : public usb::UsbDevice {
  public:
    Device(FaultyUsb& faults, std::unique_ptr<usb::UsbDevice> inner)
        : faults_(faults), inner_(std::move(inner)) {}

    bool vendor_request(std::uint8_t request, std::uint16_t value, std::uint16_t index,
                        std::uint8_t data) override {
        return inner_->vendor_request(request, value, index, data);
    }
    bool download(std::span<const std::uint8_t> image) override {
        return inner_->download(image);
    }
    bool get_string(std::uint8_t index, std::uint16_t language,
                    std::span<std::uint8_t, usb::STRING_ANSWER_SIZE> answer) override {
        return inner_->get_string(index, language, answer);
    }
    bool bulk_write(std::uint32_t pipe, const std::uint8_t* data, std::uint32_t length,
                    std::uint32_t& transferred) override {
        transferred = 0;
        return faults_.start_transfer(false) && inner_->bulk_write(pipe, data, length, transferred);
    }
    bool bulk_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        transferred = 0;
        return faults_.start_transfer(true) && inner_->bulk_read(pipe, buffer, length, transferred);
    }
    bool poll_read(std::uint32_t pipe, std::uint8_t* buffer, std::uint32_t length,
                   std::uint32_t& transferred) override {
        transferred = 0;
        return faults_.start_transfer(true) && inner_->poll_read(pipe, buffer, length, transferred);
    }

  private:
    FaultyUsb& faults_;
    std::unique_ptr<usb::UsbDevice> inner_;
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
        return true;
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
