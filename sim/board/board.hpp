#pragma once
// The simulated board behind the JTAG connector: a chain of devices from the part catalogue,
// usually the one Spartan-II of the board, with the faults a test can ask for.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "sim/board/chain_device.hpp"
#include "sim/board/event_log.hpp"
#include "sim/board/fpga.hpp"
#include "sim/board/jtag_port.hpp"
#include "sim/board/tap.hpp"

namespace oscset::sim {

enum class TdoFault : std::uint8_t { NONE, STUCK_HIGH, STUCK_LOW };

struct BoardConfig {
    // Part names from the TDO end: device 0's IDCODE leaves TDO first.
    std::vector<std::string> chain{"2s100"};
    // Every FPGA starts configured and running the board's design (left by an earlier run).
    bool fpga_configured = false;
    // The synthesiser's status read that first shows lock after a record (0 counts as 1);
    // nullopt: never.
    std::optional<std::uint32_t> lock_after_reads = 1;
    bool target_power = true;
    // The version nibble of every IDCODE (nonzero, so that a reader that forgets to mask it
    // finds no part).
    std::uint8_t idcode_version = 1;

    // Faults.
    TdoFault tdo_fault = TdoFault::NONE;
    std::optional<std::size_t> capture_11_device;      // IR capture bits 1, 1
    std::optional<std::size_t> version_change_device;  // IDCODE version changes after a read

    // Event lines are also written here as they happen, each after the prefix (which tells
    // boards apart that share the file).
    std::FILE* log_file = nullptr;
    std::string log_prefix;
};

class Board final : public JtagPort {
  public:
    explicit Board(const BoardConfig& config = {});
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;
    ~Board();

    // A configuration naming an unknown part, an empty chain or a fault on a device that
    // does not exist makes a board without devices or power; error() says why.
    bool valid() const { return error_.empty(); }
    const std::string& error() const { return error_; }

    bool clock(bool tdi, bool tms) override;
    void drive(bool tck, bool tdi, bool tms) override;
    bool tdo() const override;
    bool target_power() const override { return powered_; }
    void clock_bits(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                    bool tms_during, bool tms_last) override;

    // Switching the supply on is a power-up: every TAP in Test-Logic-Reset, FPGAs blank.
    void set_target_power(bool on);
    // Clocks made since construction (while powered or not).
    std::uint64_t clocks() const { return clocks_; }

    std::size_t device_count() const { return devices_.size(); }
    const PartInfo& part(std::size_t device) const { return devices_.at(device).part(); }
    TapState tap_state(std::size_t device) const { return devices_.at(device).state(); }
    std::uint32_t instruction(std::size_t device) const {
        return devices_.at(device).instruction();
    }
    DataRegister data_register(std::size_t device) const {
        return devices_.at(device).data_register();
    }
    // The FPGA at this position, or null for any other part.
    const Fpga* fpga(std::size_t device) const { return devices_.at(device).fpga(); }
    // The FPGA nearest TDO, or null when the chain has none.
    const Fpga* first_fpga() const;

    const std::vector<std::string>& events() const { return log_.lines(); }
    void clear_events() { log_.clear(); }

  private:
    bool step(bool tdi, bool tms);
    void falling_edge();
    void rising_edge(bool tdi, bool tms);
    bool shift_run(bool tdi);
    bool apply_fault(bool level) const;

    EventLog log_;
    std::string error_;
    TdoFault tdo_fault_ = TdoFault::NONE;
    std::vector<ChainDevice> devices_;
    bool powered_ = false;
    bool tck_ = true;        // TCK rests high
    bool presented_ = true;  // the chain's TDO since the last falling edge
    std::uint64_t clocks_ = 0;
};

}  // namespace oscset::sim
