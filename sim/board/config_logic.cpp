#include "sim/board/config_logic.hpp"

#include <algorithm>

#include "sim/board/config_crc.hpp"

namespace oscset::sim {
namespace {

constexpr std::uint32_t HEADER_TYPE_1 = 1;
constexpr std::uint32_t HEADER_TYPE_2 = 2;
constexpr std::uint32_t OP_READ = 1;
constexpr std::uint32_t OP_WRITE = 2;
constexpr std::uint32_t TYPE1_COUNT_MASK = 0x7FF;
constexpr std::uint32_t TYPE2_COUNT_MASK = 0x7FFFFFF;
constexpr std::uint32_t REGISTER_MASK = 0xF;  // the family decodes 4 of the 14 address bits

// COR field positions (3-bit start-up phase fields).
constexpr int COR_GSR_CYCLE = 0;
constexpr int COR_GWE_CYCLE = 3;
constexpr int COR_GTS_CYCLE = 6;
constexpr int COR_DONE_CYCLE = 12;

// The board's mode pins select master serial: M2..M0 = 000.
constexpr std::uint32_t MODE_PINS = 0;

}  // namespace

ConfigLogic::ConfigLogic(const PartInfo& part, std::size_t device, EventLog& log,
                         DesignHooks& hooks)
    : part_(&part), geometry_(frame_geometry(part)), device_(device), log_(&log), hooks_(&hooks) {}

void ConfigLogic::power_up(bool configured) {
    *this = ConfigLogic(*part_, device_, *log_, *hooks_);
    if (!configured) {
        return;
    }
    // Left by an earlier run's configuration: synchronised (the family has no
    // desynchronisation command), started, with the stream's registers.
    synced_ = true;
    cor_ = COR_DEFAULT;
    flr_ = geometry_.flr;
    frame_words_ = geometry_.frames * geometry_.frame_words;
    done_ = gts_released_ = gwe_released_ = gsr_released_ = true;
    ghigh_asserted_ = false;
    running_ = design_loaded_ = true;
}

void ConfigLogic::take_word(std::uint32_t w) {
    if (!synced_) {
        // Before synchronisation the logic only looks for the sync word, at word boundaries
        // counted from Capture-DR.
        synced_ = w == SYNC_WORD;
        return;
    }
    if (data_left_ > 0) {
        --data_left_;
        write_register(reg_, w);
        return;
    }
    const std::uint32_t type = w >> 29;
    const std::uint32_t op = (w >> 27) & 3;
    std::uint32_t count = 0;
    if (type == HEADER_TYPE_1) {
        reg_ = (w >> 13) & REGISTER_MASK;
        count = w & TYPE1_COUNT_MASK;
    } else if (type == HEADER_TYPE_2) {
        count = w & TYPE2_COUNT_MASK;  // for the register of the last type-1 header
    } else {
        // Zero flush words, and the dummy and sync words once synchronised: no packet.
        return;
    }
    if (op == OP_WRITE) {
        data_left_ = count;
    } else if (op == OP_READ) {
        read_reg_ = reg_;
        read_words_ = count;
    }
}

void ConfigLogic::write_register(std::uint32_t reg, std::uint32_t value) {
    // Every written data word counts in the CRC, commands included; LOUT alone does not.
    if (reg != REG_LOUT) {
        crc_ = config_crc_update(crc_, reg, value);
    }
    switch (reg) {
        case REG_CRC:
            // The stream writes the expected CRC; fed in like any word it leaves 0 when it
            // matches.
            ++crc_checks_;
            if (crc_ != 0 && !crc_error_) {
                crc_error_ = true;
                log_->add("fpga %zu configuration finished crc error done %d", device_,
                          done_ ? 1 : 0);
            }
            crc_ = 0;
            break;
        case REG_FAR:
            far_ = value;
            break;
        case REG_FDRI:
            if (running_ || sequence_ == Sequence::SHUTDOWN) {
                // Frames are not taken while a design runs.
                if (!in_error_) {
                    log_->add("fpga %zu frame data refused: design running", device_);
                }
                in_error_ = true;
            } else {
                ++frame_words_;
            }
            break;
        case REG_CMD:
            cmd_ = value;
            command(value);
            break;
        case REG_CTL:
            ctl_ = value;
            break;
        case REG_MASK:
            mask_ = value;
            break;
        case REG_LOUT:
            lout_ = value;
            break;
        case REG_COR:
            cor_ = value;
            break;
        case REG_FLR:
            flr_ = value;
            break;
        default:
            break;  // read-only or undefined registers take nothing
    }
}

void ConfigLogic::command(std::uint32_t code) {
    switch (code) {
        case CMD_RCRC:
            crc_ = 0;
            break;
        case CMD_START:
            start_sequence();
            break;
        case CMD_AGHIGH:
            ghigh_asserted_ = true;
            break;
        case CMD_LFRM:
            ghigh_asserted_ = false;
            break;
        default:
            break;  // WCFG, RCFG, RCAP and SWITCH change nothing the board shows
    }
}

void ConfigLogic::start_sequence() {
    if (sequence_ != Sequence::NONE) {
        return;
    }
    const bool shutdown = (cor_ & COR_SHUTDOWN) != 0;
    if (shutdown && !running_) {
        return;  // nothing runs that could be shut down
    }
    if (!shutdown && running_) {
        return;  // already started
    }
    sequence_ = shutdown ? Sequence::SHUTDOWN : Sequence::STARTUP;
    sequence_clocks_ = 0;
    switch ((cor_ >> COR_STARTUP_CLOCK_SHIFT) & 3) {
        case 0:
            clock_ = Clock::CCLK;
            break;
        case 1:
            clock_ = Clock::USER;  // no user clock reaches the start-up block
            break;
        default:
            clock_ = Clock::TCK;
            break;
    }
}

void ConfigLogic::startup_clock() {
    if (sequence_ != Sequence::NONE && clock_ == Clock::TCK) {
        advance_sequence();
    }
}

void ConfigLogic::run_cclk_sequence() {
    // The sequence has at most 8 phases; the bound also covers a halted sequencer.
    for (int i = 0; i < 8 && cclk_pending(); ++i) {
        advance_sequence();
    }
}

void ConfigLogic::advance_sequence() {
    if (crc_error_) {
        return;  // a failed CRC check halts the sequencer
    }
    const std::uint32_t done_phase = phase(COR_DONE_CYCLE);
    const std::uint32_t gts_phase = phase(COR_GTS_CYCLE);
    const std::uint32_t gwe_phase = phase(COR_GWE_CYCLE);
    const std::uint32_t gsr_phase = phase(COR_GSR_CYCLE);
    const std::uint32_t last = std::max({done_phase, gts_phase, gwe_phase, gsr_phase});
    ++sequence_clocks_;
    if (sequence_ == Sequence::STARTUP) {
        // Phase k is reached on the k-th start-up clock after START.
        const std::uint32_t p = sequence_clocks_;
        done_ = done_ || p == done_phase;
        gts_released_ = gts_released_ || p == gts_phase;
        gwe_released_ = gwe_released_ || p == gwe_phase;
        gsr_released_ = gsr_released_ || p == gsr_phase;
        if (p >= last) {
            finish_startup();
        }
    } else {
        // The shutdown runs the phases backwards.
        const std::uint32_t p = last + 1 - sequence_clocks_;
        done_ = done_ && p != done_phase;
        gts_released_ = gts_released_ && p != gts_phase;
        gwe_released_ = gwe_released_ && p != gwe_phase;
        gsr_released_ = gsr_released_ && p != gsr_phase;
        if (sequence_clocks_ >= last) {
            finish_shutdown();
        }
    }
}

void ConfigLogic::finish_startup() {
    sequence_ = Sequence::NONE;
    running_ = true;
    done_ = gts_released_ = gwe_released_ = gsr_released_ = true;
    design_loaded_ =
        flr_ == geometry_.flr &&
        frame_words_ >= static_cast<std::uint64_t>(geometry_.frames) * geometry_.frame_words;
    if (design_loaded_) {
        log_->add("fpga %zu configuration finished crc ok done 1", device_);
        hooks_->design_started();
    } else {
        log_->add(
            "fpga %zu configuration finished crc ok done 1, design incomplete: %u frame "
            "words with FLR %u, the part needs %u with FLR %u",
            device_, static_cast<unsigned>(frame_words_), static_cast<unsigned>(flr_),
            static_cast<unsigned>(geometry_.frames * geometry_.frame_words),
            static_cast<unsigned>(geometry_.flr));
    }
}

void ConfigLogic::finish_shutdown() {
    sequence_ = Sequence::NONE;
    running_ = false;
    design_loaded_ = false;
    done_ = gts_released_ = gwe_released_ = gsr_released_ = false;
    frame_words_ = 0;
    ++shutdowns_;
    log_->add("fpga %zu shutdown", device_);
    hooks_->design_stopped();
}

std::uint32_t ConfigLogic::stat() const {
    std::uint32_t s = MODE_PINS << STAT_MODE_SHIFT;
    s |= crc_error_ ? STAT_CRC_ERROR : 0;
    s |= in_error_ ? STAT_IN_ERROR : 0;
    s |= gts_released_ ? STAT_GTS_CFG : 0;
    s |= gwe_released_ ? 0 : STAT_GWE_B;
    s |= gsr_released_ ? STAT_GSR_B : 0;
    s |= ghigh_asserted_ ? 0 : STAT_GHIGH_B;
    s |= init() ? STAT_INIT : 0;
    s |= done_ ? STAT_DONE : 0;
    return s;
}

std::uint32_t ConfigLogic::read_register(std::uint32_t reg) const {
    switch (reg) {
        case REG_CRC:
            return crc_;
        case REG_FAR:
            return far_;
        case REG_CMD:
            return cmd_;
        case REG_CTL:
            return ctl_;
        case REG_MASK:
            return mask_;
        case REG_STAT:
            return stat();
        case REG_COR:
            return cor_;
        case REG_FLR:
            return flr_;
        default:
            return 0;  // frame read-back (FDRO) is not modelled
    }
}

void ConfigLogic::cfg_out_capture() {
    out_index_ = 0;
    out_words_ = read_words_;
    out_value_ = read_register(read_reg_);
    read_words_ = 0;
}

bool ConfigLogic::cfg_out_bit() const {
    if (out_index_ == 0) {
        return false;  // the pad bit
    }
    const std::uint64_t k = out_index_ - 1;
    if (k / 32 >= out_words_) {
        return false;
    }
    return (out_value_ >> (31 - k % 32)) & 1;
}

}  // namespace oscset::sim
