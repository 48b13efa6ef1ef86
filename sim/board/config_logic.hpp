#pragma once
// The configuration logic of a Virtex-family FPGA (Virtex, Virtex-E, Spartan-II) as JTAG
// reaches it: the packet processor behind CFG_IN, the read-back register behind CFG_OUT,
// the configuration registers with their CRC, the status register and the start-up
// sequencer. The frames themselves are counted, not kept: the board knows one design.

#include <cstddef>
#include <cstdint>

#include "sim/board/event_log.hpp"
#include "sim/board/parts.hpp"

namespace oscset::sim {

inline constexpr std::uint32_t SYNC_WORD = 0xAA995566;

// Configuration registers (4-bit addresses).
inline constexpr std::uint32_t REG_CRC = 0;
inline constexpr std::uint32_t REG_FAR = 1;
inline constexpr std::uint32_t REG_FDRI = 2;
inline constexpr std::uint32_t REG_FDRO = 3;
inline constexpr std::uint32_t REG_CMD = 4;
inline constexpr std::uint32_t REG_CTL = 5;
inline constexpr std::uint32_t REG_MASK = 6;
inline constexpr std::uint32_t REG_STAT = 7;
inline constexpr std::uint32_t REG_LOUT = 8;
inline constexpr std::uint32_t REG_COR = 9;
inline constexpr std::uint32_t REG_FLR = 11;

// CMD codes.
inline constexpr std::uint32_t CMD_WCFG = 1;
inline constexpr std::uint32_t CMD_LFRM = 3;
inline constexpr std::uint32_t CMD_RCFG = 4;
inline constexpr std::uint32_t CMD_START = 5;
inline constexpr std::uint32_t CMD_RCAP = 6;
inline constexpr std::uint32_t CMD_RCRC = 7;
inline constexpr std::uint32_t CMD_AGHIGH = 8;
inline constexpr std::uint32_t CMD_SWITCH = 9;

// STAT bits.
inline constexpr std::uint32_t STAT_CRC_ERROR = 1u << 0;
inline constexpr std::uint32_t STAT_IN_ERROR = 1u << 5;
inline constexpr std::uint32_t STAT_GTS_CFG = 1u << 6;
inline constexpr std::uint32_t STAT_GWE_B = 1u << 7;
inline constexpr std::uint32_t STAT_GSR_B = 1u << 8;
inline constexpr std::uint32_t STAT_GHIGH_B = 1u << 9;
inline constexpr std::uint32_t STAT_MODE_SHIFT = 10;
inline constexpr std::uint32_t STAT_INIT = 1u << 13;
inline constexpr std::uint32_t STAT_DONE = 1u << 14;

// COR fields.
inline constexpr std::uint32_t COR_SHUTDOWN = 1u << 15;
inline constexpr std::uint32_t COR_STARTUP_CLOCK_SHIFT = 20;  // bits 21:20
// The COR value of a bitgen stream (CCLK start-up), which a board configured from an
// earlier run is left with.
inline constexpr std::uint32_t COR_DEFAULT = 0x00803F2D;

// Told when the design starts running and when it stops.
class DesignHooks {
  public:
    virtual void design_started() = 0;
    virtual void design_stopped() = 0;

  protected:
    ~DesignHooks() = default;
};

class ConfigLogic {
  public:
    ConfigLogic(const PartInfo& part, std::size_t device, EventLog& log, DesignHooks& hooks);

    // Power-up: blank, or (configured) running a design loaded by an earlier run.
    void power_up(bool configured);

    // CFG_IN: Capture-DR starts a new word; every Shift-DR clock adds one bit, most
    // significant first; each whole word goes to the packet processor.
    void cfg_in_capture() {
        word_ = 0;
        word_bits_ = 0;
    }
    void cfg_in_bit(bool tdi) {
        word_ = (word_ << 1) | static_cast<std::uint32_t>(tdi);
        if (++word_bits_ == 32) {
            word_bits_ = 0;
            take_word(word_);
        }
    }
    void take_word(std::uint32_t word);

    // CFG_OUT: Capture-DR loads one pad bit 0, then the words of the pending read packet,
    // each most significant bit first; zeros follow (and are all there is when no read is
    // pending, e.g. before synchronisation).
    void cfg_out_capture();
    bool cfg_out_bit() const;
    void cfg_out_shift() { ++out_index_; }

    // One start-up clock from TCK (a rising edge while JSTART is the instruction, in
    // Run-Test/Idle or Shift-DR); counts only for a sequence whose COR selects TCK.
    void startup_clock();
    // A sequence under way that the internal oscillator clocks, waiting for the end of the
    // CFG_IN scan that carried its START.
    bool cclk_pending() const {
        return sequence_ != Sequence::NONE && clock_ == Clock::CCLK && !crc_error_;
    }
    void run_cclk_sequence();

    bool synchronised() const { return synced_; }
    bool done() const { return done_; }
    bool init() const { return true; }
    bool crc_error() const { return crc_error_; }
    bool in_error() const { return in_error_; }
    std::uint32_t stat() const;
    // The start-up has completed with the whole array loaded, and no shutdown has begun.
    bool design_running() const { return running_ && design_loaded_ && gwe_released_; }
    // Start-up completed (DONE and the design's clocks on), whatever the frames were.
    bool started() const { return running_; }
    unsigned shutdowns() const { return shutdowns_; }
    std::uint32_t cor() const { return cor_; }
    std::uint32_t flr() const { return flr_; }
    std::uint32_t frame_words() const { return frame_words_; }
    std::uint16_t crc() const { return crc_; }
    unsigned crc_checks() const { return crc_checks_; }

  private:
    enum class Sequence : std::uint8_t { NONE, STARTUP, SHUTDOWN };
    enum class Clock : std::uint8_t { CCLK, USER, TCK };

    void write_register(std::uint32_t reg, std::uint32_t value);
    void command(std::uint32_t code);
    void start_sequence();
    void advance_sequence();
    void finish_startup();
    void finish_shutdown();
    std::uint32_t read_register(std::uint32_t reg) const;
    // The start-up phase (1..8) of a 3-bit COR field.
    std::uint32_t phase(int shift) const { return ((cor_ >> shift) & 7) + 1; }

    // Pointers, so that power_up can start from a fresh object.
    const PartInfo* part_;
    FrameGeometry geometry_;
    std::size_t device_;
    EventLog* log_;
    DesignHooks* hooks_;

    // Packet processor.
    bool synced_ = false;
    std::uint32_t word_ = 0;
    int word_bits_ = 0;
    std::uint32_t reg_ = 0;        // register of the last type-1 header
    std::uint32_t data_left_ = 0;  // data words still to come in the current write packet
    std::uint32_t read_reg_ = 0;
    std::uint32_t read_words_ = 0;  // words of the pending read packet

    // CFG_OUT.
    std::uint32_t out_value_ = 0;
    std::uint32_t out_words_ = 0;
    std::uint64_t out_index_ = 0;

    // Registers.
    std::uint16_t crc_ = 0;
    unsigned crc_checks_ = 0;
    std::uint32_t cor_ = 0;
    std::uint32_t flr_ = 0;
    std::uint32_t far_ = 0;
    std::uint32_t ctl_ = 0;
    std::uint32_t mask_ = 0;
    std::uint32_t lout_ = 0;
    std::uint32_t cmd_ = 0;
    std::uint32_t frame_words_ = 0;

    // Status.
    bool crc_error_ = false;
    bool in_error_ = false;
    bool done_ = false;
    bool gts_released_ = false;
    bool gwe_released_ = false;
    bool gsr_released_ = false;
    bool ghigh_asserted_ = true;

    // Start-up sequencer.
    Sequence sequence_ = Sequence::NONE;
    Clock clock_ = Clock::CCLK;
    std::uint32_t sequence_clocks_ = 0;
    bool running_ = false;
    bool design_loaded_ = false;
    unsigned shutdowns_ = 0;
};

}  // namespace oscset::sim
