#include "sim/board/design_bus.hpp"

#include <algorithm>

namespace oscset::sim {

DesignBus::DesignBus(std::optional<std::uint32_t> lock_after_reads, EventLog& log)
    : synth_(lock_after_reads, log), ram_(RAM_END, 0) {}

std::uint8_t DesignBus::read(std::uint32_t address) {
    if (address < SYNTH_ADDRESS + SYNTH_RECORD_SIZE) {
        return synth_.read(address - SYNTH_ADDRESS);
    }
    if (address < RAM_END) {
        return ram_[address];
    }
    return UNMAPPED_READ;
}

void DesignBus::write(std::uint32_t address, std::uint8_t value) {
    if (address < SYNTH_ADDRESS + SYNTH_RECORD_SIZE) {
        synth_.write(address - SYNTH_ADDRESS, value);
        synth_touched_ = true;
    } else if (address < RAM_END) {
        ram_[address] = value;
    }
}

void DesignBus::end_of_write_packet() {
    if (synth_touched_) {
        synth_touched_ = false;
        synth_.take_record();
    }
}

void DesignBus::reset() {
    synth_.reset();
    std::fill(ram_.begin(), ram_.end(), 0);
    synth_touched_ = false;
}

}  // namespace oscset::sim
