#include "sim/board/chain_device.hpp"

namespace oscset::sim {
namespace {

// IEEE 1149.1: the two bits nearest TDO capture 1 then 0.
constexpr std::uint32_t IR_CAPTURE_FIXED = 0b01;
constexpr std::uint32_t IR_CAPTURE_FAULT = 0b11;
// The FPGAs' upper capture bits: bit 2 DONE, bit 3 INIT, bit 4 high.
constexpr std::uint32_t FPGA_CAPTURE_DONE = 1u << 2;
constexpr std::uint32_t FPGA_CAPTURE_INIT = 1u << 3;
constexpr std::uint32_t FPGA_CAPTURE_HIGH = 1u << 4;

constexpr int VERSION_SHIFT = 28;

}  // namespace

ChainDevice::ChainDevice(const PartInfo& part, std::size_t index, std::uint8_t idcode_version,
                         DeviceFaults faults, std::optional<std::uint32_t> lock_after_reads,
                         EventLog& log)
    : part_(&part),
      ir_mask_((1u << part.ir_length) - 1),
      version_(idcode_version & 0xF),
      faults_(faults) {
    if (has_configuration_logic(part)) {
        fpga_ = std::make_unique<Fpga>(part, index, lock_after_reads, log);
    }
    power_up(false);
}

void ChainDevice::power_up(bool fpga_configured) {
    if (fpga_) {
        fpga_->power_up(fpga_configured);
    }
    state_ = TapState::TEST_LOGIC_RESET;
    ir_shift_ = 0;
    dr_shift_ = 0;
    idcode_captures_ = 0;
    tdo_ = true;
    reset_instruction();
}

std::uint32_t ChainDevice::idcode() const {
    std::uint32_t version = version_;
    if (faults_.version_changes && idcode_captures_ > 0) {
        version = (version + 1) & 0xF;
    }
    return (part_->idcode & 0x0FFFFFFFu) | (version << VERSION_SHIFT);
}

void ChainDevice::reset_instruction() {
    instruction_ = part_->idcode_instruction;
    select_data_register();
}

void ChainDevice::select_data_register() {
    if (!fpga_) {
        dr_ =
            instruction_ == part_->idcode_instruction ? DataRegister::IDCODE : DataRegister::BYPASS;
        return;
    }
    switch (instruction_) {
        case FPGA_USER1:
            dr_ = DataRegister::USER1;
            break;
        case FPGA_USER2:
            dr_ = DataRegister::USER2;
            break;
        case FPGA_CFG_OUT:
            dr_ = DataRegister::CFG_OUT;
            break;
        case FPGA_CFG_IN:
            dr_ = DataRegister::CFG_IN;
            break;
        case FPGA_IDCODE:
            dr_ = DataRegister::IDCODE;
            break;
        case FPGA_JSTART:
            dr_ = DataRegister::JSTART;
            break;
        default:
            // The boundary-scan instructions are not modelled: they, BYPASS and every other
            // code select the bypass register.
            dr_ = DataRegister::BYPASS;
            break;
    }
}

void ChainDevice::fall() {
    switch (state_) {
        case TapState::UPDATE_IR:
            instruction_ = ir_shift_ & ir_mask_;
            select_data_register();
            break;
        case TapState::SHIFT_IR:
            tdo_ = ir_shift_ & 1;
            return;
        case TapState::SHIFT_DR:
            tdo_ = dr_out();
            return;
        default:
            break;
    }
    tdo_ = true;  // not driven: the pull-up
}

void ChainDevice::rise(bool tdi, bool tms) {
    switch (state_) {
        case TapState::RUN_TEST_IDLE:
            if (dr_ == DataRegister::JSTART) {
                fpga_->config().startup_clock();
            }
            break;
        case TapState::CAPTURE_IR:
            capture_ir();
            break;
        case TapState::SHIFT_IR:
            ir_shift_ =
                (ir_shift_ >> 1) | (static_cast<std::uint32_t>(tdi) << (part_->ir_length - 1));
            break;
        case TapState::CAPTURE_DR:
            capture_dr();
            break;
        case TapState::SHIFT_DR:
            shift_dr(tdi);
            break;
        default:
            break;
    }
    state_ = tap_next(state_, tms);
    if (state_ == TapState::TEST_LOGIC_RESET) {
        reset_instruction();
        if (fpga_) {
            fpga_->bridge().reset();
        }
    }
    // An oscillator-clocked start-up or shutdown runs once the CFG_IN scan that carried its
    // START has ended.
    if (fpga_ && fpga_->config().cclk_pending() &&
        !(dr_ == DataRegister::CFG_IN && in_dr_scan(state_))) {
        fpga_->config().run_cclk_sequence();
    }
}

void ChainDevice::capture_ir() {
    std::uint32_t value = faults_.capture_11 ? IR_CAPTURE_FAULT : IR_CAPTURE_FIXED;
    if (fpga_) {
        value |= FPGA_CAPTURE_HIGH;
        value |= fpga_->config().done() ? FPGA_CAPTURE_DONE : 0;
        value |= fpga_->config().init() ? FPGA_CAPTURE_INIT : 0;
    }
    ir_shift_ = value & ir_mask_;
}

void ChainDevice::capture_dr() {
    switch (dr_) {
        case DataRegister::BYPASS:
        case DataRegister::JSTART:
            dr_shift_ = 0;
            break;
        case DataRegister::IDCODE:
            dr_shift_ = idcode();
            ++idcode_captures_;
            break;
        case DataRegister::CFG_IN:
            fpga_->config().cfg_in_capture();
            break;
        case DataRegister::CFG_OUT:
            fpga_->config().cfg_out_capture();
            break;
        case DataRegister::USER1:
            user1_active_ = fpga_->configured();
            fpga_->bridge().capture();
            break;
        case DataRegister::USER2:
            break;
    }
}

bool ChainDevice::dr_out() const {
    switch (dr_) {
        case DataRegister::BYPASS:
        case DataRegister::JSTART:
        case DataRegister::IDCODE:
            return dr_shift_ & 1;
        case DataRegister::CFG_OUT:
            return fpga_->config().cfg_out_bit();
        case DataRegister::USER1:
            return user1_active_ && fpga_->bridge().out();
        case DataRegister::CFG_IN:
        case DataRegister::USER2:
            return false;
    }
    return false;
}

void ChainDevice::shift_dr(bool tdi) {
    switch (dr_) {
        case DataRegister::BYPASS:
            dr_shift_ = tdi;
            break;
        case DataRegister::JSTART:
            dr_shift_ = tdi;
            fpga_->config().startup_clock();
            break;
        case DataRegister::IDCODE:
            dr_shift_ = (dr_shift_ >> 1) | (static_cast<std::uint32_t>(tdi) << 31);
            break;
        case DataRegister::CFG_IN:
            fpga_->config().cfg_in_bit(tdi);
            break;
        case DataRegister::CFG_OUT:
            fpga_->config().cfg_out_shift();
            break;
        case DataRegister::USER1:
            if (user1_active_) {
                fpga_->bridge().shift(tdi);
            }
            break;
        case DataRegister::USER2:
            break;
    }
}

}  // namespace oscset::sim
