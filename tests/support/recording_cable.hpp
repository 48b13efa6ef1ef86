#pragma once
// A cable that records every call and answers TDO from a script: for exact clock and TMS
// sequences.

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "cables/cable_ops.hpp"

namespace oscset::testing {

struct ShiftCall {
    std::uint32_t count;
    std::int32_t tms_during;
    std::int32_t tms_last;
    std::string tdi;  // "0"/"1" per clock in clock order; empty when tdi was null
    bool reads_tdo;
};

class RecordingCable final : public cable::Cable {
  public:
    std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) override;
    void close() override;
    std::int32_t probe() override;
    std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       std::int32_t tms_during, std::int32_t tms_last) override;

    // "count:ab" per call (a = TMS during, b = TMS last), then "/tdi bits" when TDI was given
    // and "r" when TDO was read; calls separated by spaces.
    std::string trace() const;
    std::uint64_t clocks() const;
    // Forgets the calls and starts counting clocks from 0 again.
    void clear() {
        calls.clear();
        clock_ = 0;
    }

    std::vector<ShiftCall> calls;
    std::vector<std::string> events;  // "open 1", "close", "probe"
    std::int32_t open_result = 0;
    std::int32_t probe_result = 1;
    std::uint16_t last_port = 0;
    std::int32_t last_speed = 0;
    bool got_description = false;
    // TDO level of every clock, by the clock's number since the cable was made or cleared.
    std::function<bool(std::uint64_t clock)> tdo_level = [](std::uint64_t) { return false; };
    // As a cable whose read-back failed: the TDO bytes keep what they held.
    bool keeps_tdo = false;
    // Called at the start of every shift (for instance to look at a length word, or to hold a
    // worker thread back).
    std::function<void(const ShiftCall&)> on_shift;

    // The TDI bits of every call with TDI given, joined: what reached the chain as data.
    std::string tdi_stream() const;

  private:
    std::uint64_t clock_ = 0;
};

// "0"/"1" per bit of each word, most significant first: how a packet word travels on TDI.
std::string word_bits(std::initializer_list<std::uint32_t> words);

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

namespace oscset::testing {

// Passes every call on to another cable and records the shifts on the way.
class SpyCable final : public cable::Cable {
  public:
    explicit SpyCable(cable::Cable& inner) : inner_(inner) {}
    std::int32_t open(std::uint16_t port, std::int32_t speed, char* description) override {
        return inner_.open(port, speed, description);
    }
    void close() override { inner_.close(); }
    std::int32_t probe() override { return inner_.probe(); }
    std::int32_t shift(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                       std::int32_t tms_during, std::int32_t tms_last) override {
        const ShiftCall call{count, tms_during != 0, tms_last != 0, tdi != nullptr ? "t" : "",
                             tdo != nullptr};
        if (on_shift) {
            on_shift(call);
        }
        calls.push_back(call);
        return inner_.shift(tdi, tdo, count, tms_during, tms_last);
    }

    std::vector<ShiftCall> calls;  // tdi is "t" when data was given, else empty
    std::function<void(const ShiftCall&)> on_shift;

  private:
    cable::Cable& inner_;
};

}  // namespace oscset::testing
