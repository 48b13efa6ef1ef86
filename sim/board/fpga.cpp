#include "sim/board/fpga.hpp"

namespace oscset::sim {

Fpga::Fpga(const PartInfo& part, std::size_t device, std::optional<std::uint32_t> lock_after_reads,
           EventLog& log)
    : config_(part, device, log, *this), bus_(lock_after_reads, log), bridge_(bus_, log) {}

void Fpga::power_up(bool configured) {
    config_.power_up(configured);
    bus_.reset();
    bridge_.reset();
}

void Fpga::design_started() {
    // A freshly started design begins with its registers cleared (global set/reset).
    bus_.reset();
    bridge_.reset();
}

void Fpga::design_stopped() {
    bridge_.reset();
}

}  // namespace oscset::sim
