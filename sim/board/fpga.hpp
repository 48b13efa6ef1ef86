#pragma once
// A Virtex-family FPGA on the board: its configuration logic and the design that it runs
// once configured (the bus bridge on USER1, with the synthesiser and RAM on its bus).

#include <cstddef>
#include <cstdint>
#include <optional>

#include "sim/board/bus_bridge.hpp"
#include "sim/board/config_logic.hpp"
#include "sim/board/design_bus.hpp"
#include "sim/board/event_log.hpp"
#include "sim/board/parts.hpp"

namespace oscset::sim {

class Fpga final : public DesignHooks {
  public:
    Fpga(const PartInfo& part, std::size_t device, std::optional<std::uint32_t> lock_after_reads,
         EventLog& log);
    Fpga(const Fpga&) = delete;
    Fpga& operator=(const Fpga&) = delete;

    void power_up(bool configured);

    ConfigLogic& config() { return config_; }
    const ConfigLogic& config() const { return config_; }
    BusBridge& bridge() { return bridge_; }
    const DesignBus& bus() const { return bus_; }

    // Inspection for tests.
    bool configured() const { return config_.design_running(); }
    bool done() const { return config_.done(); }
    bool crc_error() const { return config_.crc_error(); }
    std::uint32_t stat() const { return config_.stat(); }
    bool shutdown_happened() const { return config_.shutdowns() != 0; }
    const Synthesiser& synthesiser() const { return bus_.synthesiser(); }

  private:
    void design_started() override;
    void design_stopped() override;

    ConfigLogic config_;
    DesignBus bus_;
    BusBridge bridge_;
};

}  // namespace oscset::sim
