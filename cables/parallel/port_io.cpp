#include "cables/parallel/port_io.hpp"

namespace oscset::parallel {

bool FallbackPort::acquire(std::uint16_t base) {
    if (preferred_.acquire(base)) {
        active_ = &preferred_;
    } else if (fallback_ != nullptr && fallback_->acquire(base)) {
        active_ = fallback_;
    } else {
        active_ = nullptr;
    }
    return active_ != nullptr;
}

void FallbackPort::write(std::uint16_t address, std::uint8_t value) {
    if (active_ != nullptr) {
        active_->write(address, value);
    }
}

std::uint8_t FallbackPort::read(std::uint16_t address) {
    return active_ != nullptr ? active_->read(address) : 0xFF;
}

bool FallbackPort::take_failure() {
    return active_ != nullptr && active_->take_failure();
}

}  // namespace oscset::parallel
