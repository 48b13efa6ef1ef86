#pragma once
// Two cables for tests: a recorder that answers TDO from a script, for exact clock and TMS
// sequences, and a spy that passes every call on to another cable and records it on the way.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "cables/cable_ops.hpp"

namespace oscset::testing {

struct ShiftCall {
    std::uint32_t count = 0;
    std::int32_t tms_during = 0;
    std::int32_t tms_last = 0;
    std::string tdi;  // "0"/"1" per clock in clock order; empty when tdi was null
    bool reads_tdo = false;
};

// What a cable was asked, call by call.
class CableLog : public cable::Cable {
  public:
    // "count:ab" per call (a = TMS during, b = TMS last), then "/tdi bits" when TDI was given
    // and "r" when TDO was read; calls separated by spaces.
    std::string trace() const;
    std::uint64_t clocks() const;
    // The TDI bits of every call with TDI given, joined: what reached the chain as data.
    std::string tdi_stream() const;

    std::vector<ShiftCall> calls;
    std::vector<std::string> events;  // "open 1", "close", "probe"
    std::uint16_t last_port = 0;
    std::int32_t last_speed = 0;
    bool got_description = false;
    // Off where a long stream's bits would cost more than the test can spare (benchmarks).
    bool records_tdi = true;
    // Called at the start of every shift (for instance to look at a length word, or to hold a
    // worker thread back), and once it has been made.
    std::function<void(const ShiftCall&)> on_shift;
    std::function<void(const ShiftCall&)> after_shift;

  protected:
    ~CableLog() = default;
    void note_open(std::uint16_t port, std::int32_t speed, const char* description);
    // The call, with its TDI read before anything writes TDO (they may share a buffer).
    ShiftCall note_shift(const std::uint8_t* tdi, const std::uint8_t* tdo, std::uint32_t count,
                         std::int32_t tms_during, std::int32_t tms_last);
    void noted(const ShiftCall& call);
};

class RecordingCable final : public CableLog {
  public:
    std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) override;
    void close() override;
    std::int32_t probe() override;
    std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       std::int32_t tms_during, std::int32_t tms_last) override;
    bool take_failure() override { return std::exchange(failed_, false); }

    // Forgets the calls and starts counting clocks from 0 again.
    void clear() {
        calls.clear();
        clock_ = 0;
    }

    std::int32_t open_result = 0;
    std::int32_t probe_result = 1;
    // TDO level of every clock, by the clock's number since the cable was made or cleared.
    std::function<bool(std::uint64_t clock)> tdo_level = [](std::uint64_t) { return false; };
    // As a cable whose read-back failed: the TDO bytes keep what they held.
    bool keeps_tdo = false;
    // The calls that fail on their way (the TDO bytes keep what they held), by number from 0.
    std::function<bool(std::size_t call)> fails = [](std::size_t) { return false; };

  private:
    std::uint64_t clock_ = 0;
    bool failed_ = false;
};

class SpyCable final : public CableLog {
  public:
    explicit SpyCable(cable::Cable& inner) : inner_(inner) {}
    std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) override {
        note_open(port, speed, description);
        return inner_.open(port, speed, description);
    }
    void close() override {
        events.push_back("close");
        inner_.close();
    }
    std::int32_t probe() override {
        events.push_back("probe");
        return inner_.probe();
    }
    std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       std::int32_t tms_during, std::int32_t tms_last) override;
    bool take_failure() override { return inner_.take_failure(); }

  private:
    cable::Cable& inner_;
};

// "0"/"1" per bit of each word, most significant first: how a packet word travels on TDI.
std::string word_bits(std::initializer_list<std::uint32_t> words);
// Likewise per byte: how a byte buffer travels on TDI.
std::string byte_bits(std::span<const std::uint8_t> bytes);

// Puts a cable behind a name and opens it; closes and restores at scope end.
class InstalledCable {
  public:
    InstalledCable(cable::Cable& cable, const char* name = "spc_usb2",
                   std::int32_t tdo_reverse = 1);
    ~InstalledCable();
    InstalledCable(const InstalledCable&) = delete;
    InstalledCable& operator=(const InstalledCable&) = delete;

  private:
    const char* name_;
};

}  // namespace oscset::testing
