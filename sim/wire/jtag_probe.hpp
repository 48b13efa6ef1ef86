#pragma once
// A logic analyser clipped onto the board's JTAG connector: every call passes on to the port,
// and TCK, TMS, TDI, TDO and the target's supply (vref) are written as they change, as a VCD
// file (1 ns steps) that PulseView, GTKWave and sigrok's decoders read.
//
// Time comes from the cable's own clock where the model has one (the emulated adapter's
// 8051). Otherwise it is nominal: clock() and clock_bits() take one NOMINAL_TCK_PERIOD_NS
// per clock, and a drive() call half of one (a printer-port cable writes the port twice a
// clock). With a clock, a drive() is stamped with its time, and a clock() starts no earlier.
//
// The file is written as the run goes (nothing is held back but the stdio buffer) and ends
// one nominal period after the last change. Driven from one thread at a time, as the port.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "sim/board/jtag_port.hpp"

namespace oscset::sim {

inline constexpr std::uint64_t NOMINAL_TCK_PERIOD_NS = 1000;  // 1 MHz

class JtagProbe final : public JtagPort {
  public:
    using Clock = std::function<std::uint64_t()>;  // nanoseconds since the probe was clipped on

    // Writes to `path`; when the file cannot be created the calls only pass on.
    JtagProbe(JtagPort& port, const char* path, Clock clock = {});
    ~JtagProbe();
    JtagProbe(const JtagProbe&) = delete;
    JtagProbe& operator=(const JtagProbe&) = delete;

    // False when the file could not be created or a write to it failed; flushes it first.
    bool ok() { return file_ && std::fflush(file_.get()) == 0 && !std::ferror(file_.get()); }
    const std::string& path() const { return path_; }

    bool clock(bool tdi, bool tms) override;
    void drive(bool tck, bool tdi, bool tms) override;
    bool tdo() const override { return port_.tdo(); }
    bool target_power() const override { return port_.target_power(); }
    void clock_bits(const std::uint8_t* tdi, std::uint8_t* tdo, std::uint32_t count,
                    bool tms_during, bool tms_last) override;

  private:
    enum Pin : std::uint8_t { TCK, TMS, TDI, TDO, VREF, PINS };

    // Moves the time to where a call that starts now begins.
    void start();
    void set(Pin pin, bool level);
    // One whole clock at the nominal period from now_, as the port saw it.
    void record_clock(bool tdi, bool tms, bool tdo);

    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    JtagPort& port_;
    const std::string path_;
    Clock clock_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    std::uint64_t now_ = 0;      // where the next change goes
    std::uint64_t stamped_ = 0;  // the last time written
    bool levels_[PINS] = {true, false, false, true, false};
};

}  // namespace oscset::sim
