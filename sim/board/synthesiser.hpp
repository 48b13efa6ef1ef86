#pragma once
// The clock synthesiser of the board's FPGA design: an 8-byte control record at bus addresses
// 0..7 and a status byte, read at address 0, that shows lock.

#include <array>
#include <cstdint>
#include <optional>

#include "sim/board/event_log.hpp"

namespace oscset::sim {

inline constexpr std::uint8_t SYNTH_NO_RECORD = 1;  // nothing valid programmed
inline constexpr std::uint8_t SYNTH_LOCKING = 2;    // record taken, not locked yet
inline constexpr std::uint8_t SYNTH_LOCKED = 3;

inline constexpr double SYNTH_REFERENCE_HZ = 24e6;

// What a control record asks for: dividers, post-divider (0 = none) and output mode.
struct SynthSettings {
    std::uint32_t div_a = 0;
    std::uint32_t div_b = 0;
    std::uint32_t post_div = 0;
    std::uint8_t mode = 0;  // 0 direct, 1 through the post-divider, 2 doubled
    bool valid = false;     // every field within the synthesiser's ranges
    double frequency_hz = 0;
};

// The record's fields: div_a - 1 and div_b - 1 (16 bits LE), post_div / 2 - 1 (24 bits LE,
// all ones for none), the mode byte.
SynthSettings decode_synth_record(const std::array<std::uint8_t, 8>& record);

class Synthesiser {
  public:
    // lock_after_reads: the status read that first shows lock (1 = the first read after the
    // record was taken); nullopt: never locks.
    Synthesiser(std::optional<std::uint32_t> lock_after_reads, EventLog& log)
        : lock_after_reads_(lock_after_reads), log_(log) {}

    void write(std::uint32_t offset, std::uint8_t value) { record_[offset & 7] = value; }
    // Offset 0 is the status byte, and each read of it counts towards lock; the others read
    // back the record.
    std::uint8_t read(std::uint32_t offset);
    // Takes the record written so far: the end of a write packet that touched it.
    void take_record();
    void reset();

    const std::array<std::uint8_t, 8>& record() const { return record_; }
    const SynthSettings& settings() const { return settings_; }
    std::uint8_t status() const { return status_; }
    bool locked() const { return status_ == SYNTH_LOCKED; }

  private:
    std::optional<std::uint32_t> lock_after_reads_;
    EventLog& log_;
    std::array<std::uint8_t, 8> record_{};
    SynthSettings settings_;
    std::uint8_t status_ = SYNTH_NO_RECORD;
    std::uint32_t status_reads_ = 0;
};

}  // namespace oscset::sim
