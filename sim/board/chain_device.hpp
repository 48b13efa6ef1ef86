#pragma once
// One device of the JTAG chain: its TAP controller, instruction register and the data
// registers its instructions select, following IEEE 1149.1. The Virtex-family FPGAs add
// their configuration instructions and the design's USER1 register.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "sim/board/event_log.hpp"
#include "sim/board/fpga.hpp"
#include "sim/board/parts.hpp"
#include "sim/board/tap.hpp"

namespace oscset::sim {

// Instruction codes of the Virtex family (5-bit register).
inline constexpr std::uint32_t FPGA_USER1 = 2;
inline constexpr std::uint32_t FPGA_USER2 = 3;
inline constexpr std::uint32_t FPGA_CFG_OUT = 4;
inline constexpr std::uint32_t FPGA_CFG_IN = 5;
inline constexpr std::uint32_t FPGA_IDCODE = 9;
inline constexpr std::uint32_t FPGA_JSTART = 12;
inline constexpr std::uint32_t FPGA_BYPASS = 31;

enum class DataRegister : std::uint8_t {
    BYPASS,   // 1 bit, captures 0: all ones and every code the device does not know
    IDCODE,   // 32 bits, least significant first
    CFG_IN,   // configuration packets in; TDO 0
    CFG_OUT,  // configuration read-back out
    USER1,    // the design's bus bridge; TDO 0 while no design runs
    USER2,    // unused by the design: TDO 0
    JSTART,   // 1 bit, captures 0; its clocks clock a TCK start-up
};

struct DeviceFaults {
    bool capture_11 = false;       // the two low IR capture bits read 1, 1
    bool version_changes = false;  // the IDCODE version nibble changes after the first read
};

class ChainDevice {
  public:
    ChainDevice(const PartInfo& part, std::size_t index, std::uint8_t idcode_version,
                DeviceFaults faults, std::optional<std::uint32_t> lock_after_reads, EventLog& log);

    // Power-up: Test-Logic-Reset; an FPGA blank, or running a design loaded earlier.
    void power_up(bool fpga_configured);

    // Falling TCK edge: Update-IR makes the shifted instruction current; a shift state drives
    // TDO with the register's next bit.
    void fall();
    // Rising TCK edge: the state's action (capture, shift, start-up clock), then the TAP moves.
    void rise(bool tdi, bool tms);
    // What the device drives on TDO since the last fall; true (the line's pull-up) outside
    // Shift-IR and Shift-DR.
    bool tdo() const { return tdo_; }

    // Shift-DR with TMS low, as rise() would do it, without the state machine: for long scans.
    bool dr_out() const;
    void shift_dr(bool tdi);

    const PartInfo& part() const { return *part_; }
    TapState state() const { return state_; }
    std::uint32_t instruction() const { return instruction_; }
    DataRegister data_register() const { return dr_; }
    // The value the IDCODE register captures next.
    std::uint32_t idcode() const;
    Fpga* fpga() { return fpga_.get(); }
    const Fpga* fpga() const { return fpga_.get(); }

  private:
    void reset_instruction();
    void select_data_register();
    void capture_ir();
    void capture_dr();

    const PartInfo* part_;
    std::uint32_t ir_mask_;
    std::uint8_t version_;
    DeviceFaults faults_;
    std::unique_ptr<Fpga> fpga_;

    TapState state_ = TapState::TEST_LOGIC_RESET;
    std::uint32_t ir_shift_ = 0;
    std::uint32_t instruction_ = 0;
    DataRegister dr_ = DataRegister::IDCODE;
    std::uint32_t dr_shift_ = 0;
    bool user1_active_ = false;  // a design ran when this USER1 scan was captured
    unsigned idcode_captures_ = 0;
    bool tdo_ = true;
};

}  // namespace oscset::sim
