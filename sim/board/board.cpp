#include "sim/board/board.hpp"

namespace oscset::sim {

Board::Board(const BoardConfig& config)
    : log_(config.log_file, config.log_prefix), tdo_fault_(config.tdo_fault) {
    const std::size_t n = config.chain.size();
    if (n == 0) {
        error_ = "the chain has no device";
    }
    for (const std::string& name : config.chain) {
        if (error_.empty() && find_part(name) == nullptr) {
            error_ = "unknown part \"" + name + "\"";
        }
    }
    if (error_.empty() && config.capture_11_device && *config.capture_11_device >= n) {
        error_ = "capture fault on a device beyond the chain";
    }
    if (error_.empty() && config.version_change_device && *config.version_change_device >= n) {
        error_ = "IDCODE version fault on a device beyond the chain";
    }
    if (!error_.empty()) {
        return;
    }
    devices_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        DeviceFaults faults;
        faults.capture_11 = config.capture_11_device == i;
        faults.version_changes = config.version_change_device == i;
        devices_.emplace_back(*find_part(config.chain[i]), i, config.idcode_version, faults,
                              config.lock_after_reads, log_);
    }
    powered_ = config.target_power;
    if (powered_) {
        for (ChainDevice& device : devices_) {
            device.power_up(config.fpga_configured);
        }
    }
}

Board::~Board() = default;

void Board::set_target_power(bool on) {
    if (on && !powered_ && valid()) {
        for (ChainDevice& device : devices_) {
            device.power_up(false);
        }
        presented_ = true;
        log_.add("target power on");
    } else if (!on && powered_) {
        log_.add("target power off");
    }
    powered_ = on && valid();
}

const Fpga* Board::first_fpga() const {
    for (const ChainDevice& device : devices_) {
        if (device.fpga() != nullptr) {
            return device.fpga();
        }
    }
    return nullptr;
}

bool Board::apply_fault(bool level) const {
    switch (tdo_fault_) {
        case TdoFault::STUCK_HIGH:
            return true;
        case TdoFault::STUCK_LOW:
            return false;
        case TdoFault::NONE:
            break;
    }
    return level;
}

void Board::falling_edge() {
    for (ChainDevice& device : devices_) {
        device.fall();
    }
    presented_ = devices_.front().tdo();
}

void Board::rising_edge(bool tdi, bool tms) {
    // Each device takes what its TDI-side neighbour presented after the fall; the last one
    // takes the connector's TDI.
    const std::size_t last = devices_.size() - 1;
    for (std::size_t d = 0; d < last; ++d) {
        devices_[d].rise(devices_[d + 1].tdo(), tms);
    }
    devices_[last].rise(tdi, tms);
}

bool Board::step(bool tdi, bool tms) {
    ++clocks_;
    if (!powered_) {
        return apply_fault(true);  // an unpowered chain drives nothing: the pull-up
    }
    falling_edge();
    const bool out = presented_;
    rising_edge(tdi, tms);
    return apply_fault(out);
}

bool Board::shift_run(bool tdi) {
    // Every TAP of the chain sees the same TMS from the same power-up, so all are in
    // Shift-DR together: each device shifts in what its neighbour shows before it shifts.
    ++clocks_;
    const bool out = devices_.front().dr_out();
    const std::size_t last = devices_.size() - 1;
    for (std::size_t d = 0; d < last; ++d) {
        devices_[d].shift_dr(devices_[d + 1].dr_out());
    }
    devices_[last].shift_dr(tdi);
    presented_ = out;
    return apply_fault(out);
}

bool Board::clock(bool tdi, bool tms) {
    return step(tdi, tms);
}

void Board::clock_bits(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       bool tms_during, bool tms_last) {
    for (std::uint32_t base = 0; base < count; base += 8) {
        const std::uint8_t in = tdi != nullptr ? tdi[base / 8] : 0;
        std::uint8_t out = 0;
        const std::uint32_t bits = count - base < 8 ? count - base : 8;
        for (std::uint32_t k = 0; k < bits; ++k) {
            const bool bit = (in >> (7 - k)) & 1;
            const bool tms = base + k == count - 1 ? tms_last : tms_during;
            const bool level = powered_ && !tms && devices_.front().state() == TapState::SHIFT_DR
                                   ? shift_run(bit)
                                   : step(bit, tms);
            out |= static_cast<std::uint8_t>(level << k);
        }
        if (tdo != nullptr) {
            tdo[base / 8] = out;
        }
    }
}

void Board::drive(bool tck, bool tdi, bool tms) {
    if (tck == tck_) {
        return;  // only the edges of TCK move the chain
    }
    tck_ = tck;
    if (!powered_) {
        if (tck) {
            ++clocks_;
        }
        return;
    }
    if (!tck) {
        falling_edge();
    } else {
        ++clocks_;
        rising_edge(tdi, tms);
    }
}

bool Board::tdo() const {
    return apply_fault(powered_ ? presented_ : true);
}

}  // namespace oscset::sim
