// TCK rates of the adapter firmware in its three modes and the time to shift the FPGA's
// configuration image, in emulated time at the chip's clock (24 MHz, 4 clocks a cycle), with
// the USB packets' bus time modelled. Counters:
//   cycles_per_bit   machine cycles per TCK clock, USB and packet handling included
//   tck_kHz          the resulting TCK rate
//   emulated_s       emulated time of one transfer
//   emulator_Mcps    emulated machine cycles per real second on this machine
// and a whole run of the program, timed on the JTAG pins' VCD file as a logic analyser would:
//   wire_clocks      TCK clocks of the run
//   wire_s           from the run's first TCK edge to its last, the host's waits included
//                    (the chip idles through them in 10 ms steps: it varies from run to run)
//   stream_tck_kHz   TCK rate over the longest burst of clocks (the configuration stream)
//   mean_tck_kHz     wire_clocks / wire_s

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "frontend/driver.hpp"
#include "frontend/hardware_board.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "sim/app/board_description.hpp"
#include "sim/app/sim_hardware.hpp"
#include "sim/board/jtag_port.hpp"
#include "sim/mcs51/emulated_adapter.hpp"
#include "tests/firmware/firmware_support.hpp"

namespace {

using oscset::sim::EmulatedAdapter;
using namespace oscset::firmware_test;
constexpr std::size_t CONFIGURATION_IMAGE = 97'652;

class CountingPort : public oscset::sim::JtagPort {
  public:
    bool clock(bool tdi, bool tms) override {
        drive(false, tdi, tms);
        drive(true, tdi, tms);
        return false;
    }
    void drive(bool tck, bool, bool) override {
        if (tck && !tck_)
            ++clocks;
        tck_ = tck;
    }
    bool tdo() const override { return false; }
    bool target_power() const override { return true; }
    std::uint64_t clocks = 0;

  private:
    bool tck_ = true;
};

struct Booted {
    CountingPort port;
    EmulatedAdapter adapter{port};
    std::unique_ptr<oscset::usb::UsbDevice> device = boot(adapter);
};

// Writes on `pipe` while a reader thread takes the answers, as the cable does. The read is
// posted first and the write starts a moment later, so that emulated time measures the
// firmware rather than the start of a thread; `start` and `real_start` mark the write's start.
bool exchange(EmulatedAdapter& adapter, oscset::usb::UsbDevice& d, std::uint32_t pipe,
              const std::vector<std::uint8_t>& bytes, std::uint64_t& start,
              std::chrono::steady_clock::time_point& real_start) {
    std::vector<std::uint8_t> answers(bytes.size());
    bool read_ok = true;
    std::thread reader([&] {
        for (std::uint32_t at = 0; read_ok && at < answers.size();) {
            std::uint32_t got = 0;
            read_ok = d.bulk_read(PIPE_ANSWERS, answers.data() + at,
                                  std::min<std::uint32_t>(0x8000, answers.size() - at), got);
            at += got;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    start = adapter.cycles();
    real_start = std::chrono::steady_clock::now();
    const bool write_ok = send(d, pipe, bytes);
    reader.join();
    return write_ok && read_ok;
}

void report(benchmark::State& state, std::uint64_t cycles, std::uint64_t clocks, double real_s,
            int transfers) {
    const double per_bit = static_cast<double>(cycles) / static_cast<double>(clocks);
    state.counters["cycles_per_bit"] = per_bit;
    state.counters["tck_kHz"] = EmulatedAdapter::CYCLES_PER_SECOND / per_bit / 1000.0;
    state.counters["emulated_s"] =
        static_cast<double>(cycles) / transfers / EmulatedAdapter::CYCLES_PER_SECOND;
    state.counters["emulator_Mcps"] = static_cast<double>(cycles) / real_s / 1e6;
}

enum class Mode { BYTES, BYTES_ANSWERED, CLOCKS };

void shift(benchmark::State& state, Mode mode, std::size_t bytes) {
    Booted b;
    if (!b.device) {
        state.SkipWithError("the firmware did not boot");
        return;
    }
    std::uint64_t ignored = 0;
    auto ignored_time = std::chrono::steady_clock::now();
    const std::vector<std::uint8_t> tms_low = {0x02};
    exchange(b.adapter, *b.device, PIPE_CLOCKS, tms_low, ignored, ignored_time);
    const std::vector<std::uint8_t> data(bytes, mode == Mode::CLOCKS ? 0x20 : 0xA5);
    const std::uint64_t expected_clocks = mode == Mode::CLOCKS ? bytes : 8 * bytes;
    std::uint64_t cycles = 0;
    std::uint64_t clocks = 0;
    double real_s = 0;
    int transfers = 0;
    for (auto _ : state) {
        std::uint64_t c0 = b.adapter.cycles();
        const std::uint64_t k0 = b.port.clocks;
        auto t0 = std::chrono::steady_clock::now();
        bool ok = false;
        if (mode == Mode::BYTES) {
            // The write returns when the chip has the last packet; the clocks then show
            // when the last bit has been shifted.
            ok = send(*b.device, PIPE_BYTES, data);
            for (int i = 0; ok && b.port.clocks - k0 < expected_clocks && i < 100'000; ++i) {
                b.adapter.advance(200);
            }
        } else {
            ok = exchange(b.adapter, *b.device,
                          mode == Mode::BYTES_ANSWERED ? PIPE_BYTES_ANSWERED : PIPE_CLOCKS, data,
                          c0, t0);
        }
        real_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!ok || b.port.clocks - k0 != expected_clocks) {
            state.SkipWithError("a transfer failed");
            return;
        }
        cycles += b.adapter.cycles() - c0;
        clocks += b.port.clocks - k0;
        ++transfers;
    }
    report(state, cycles, clocks, real_s, transfers);
}

void BM_ByteModeWithoutAnswers(benchmark::State& state) {
    shift(state, Mode::BYTES, 0x8000);
}
void BM_ByteModeWithAnswers(benchmark::State& state) {
    shift(state, Mode::BYTES_ANSWERED, 0x8000);
}
void BM_PerClock(benchmark::State& state) {
    shift(state, Mode::CLOCKS, 0x8000);
}
void BM_ConfigurationImage(benchmark::State& state) {
    shift(state, Mode::BYTES, CONFIGURATION_IMAGE);
}

// The boot: download, start, the firmware's disconnected second, enumeration.
void BM_Boot(benchmark::State& state) {
    std::uint64_t cycles = 0;
    double real_s = 0;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        Booted b;
        real_s += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (!b.device) {
            state.SkipWithError("the firmware did not boot");
            return;
        }
        cycles += b.adapter.cycles();
    }
    state.counters["emulated_s"] = static_cast<double>(cycles) /
                                   static_cast<double>(state.iterations()) /
                                   EmulatedAdapter::CYCLES_PER_SECOND;
    state.counters["emulator_Mcps"] = static_cast<double>(cycles) / real_s / 1e6;
}

// Rising TCK edges closer than this belong to one burst.
constexpr std::uint64_t BURST_GAP_NS = 1'000'000;

struct WireFigures {
    std::uint64_t clocks = 0;
    double wire_s = 0;
    double stream_khz = 0;
};

// TCK's rising edges on the VCD file's time axis (1 ns steps; TCK is the variable "!").
WireFigures wire_figures(const std::string& vcd) {
    std::ifstream in(vcd);
    WireFigures f;
    std::uint64_t t = 0, first = 0, last = 0, burst_first = 0, burst_clocks = 0;
    bool tck = true;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with('#')) {
            t = std::stoull(line.substr(1));
        } else if (line == "0!") {
            tck = false;
        } else if (line == "1!" && !tck) {
            tck = true;
            if (f.clocks++ == 0) {
                first = t;
            } else if (t - last > BURST_GAP_NS) {
                burst_first = t;
                burst_clocks = 0;
            }
            if (++burst_clocks > 1 && t > burst_first) {
                f.stream_khz = std::max(f.stream_khz, (burst_clocks - 1) * 1e6 / (t - burst_first));
            }
            last = t;
        }
    }
    f.wire_s = static_cast<double>(last - first) / 1e9;
    return f;
}

// `oscset 12.3M` on the emulated adapter with the tests' XC2S30 design: boot, configuration,
// the clock record and its lock.
void BM_WholeRunOnTheWire(benchmark::State& state) {
    // The program's own times, as oscset-sim keeps them: the chip idles while the host waits.
    oscset::platform::SimulatedTime time(1);
    const std::string vcd =
        (std::filesystem::temp_directory_path() / "oscset-firmware-bench.vcd").string();
    setenv(oscset::frontend::CONFIG_IMAGE_VARIABLE, OSCSET_BENCH_DESIGN, 1);
    WireFigures f;
    for (auto _ : state) {
        oscset::sim::SimDescription description;
        std::string error;
        oscset::sim::parse_board_description("adapter=emulated,chain=2s30", description, error);
        int code = 0;
        {
            oscset::sim::SimHardware hardware(description, {.vcd_file = vcd});
            const char* argv[] = {"oscset", "12.3M"};
            oscset::frontend::HardwareClockBoard board(
                {.system_file = "", .accept_placeholder = true});
            oscset::platform::ConsoleCapture console;
            code = oscset::frontend::oscset_main(2, argv, stdin, board);
        }
        if (code != 0) {
            state.SkipWithError("the run failed");
            break;
        }
        f = wire_figures(vcd);
    }
    unsetenv(oscset::frontend::CONFIG_IMAGE_VARIABLE);
    std::filesystem::remove(vcd);
    state.counters["wire_clocks"] = static_cast<double>(f.clocks);
    state.counters["wire_s"] = f.wire_s;
    state.counters["stream_tck_kHz"] = f.stream_khz;
    state.counters["mean_tck_kHz"] = f.wire_s > 0 ? f.clocks / f.wire_s / 1000 : 0;
}

BENCHMARK(BM_ByteModeWithoutAnswers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ByteModeWithAnswers)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerClock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ConfigurationImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Boot)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeRunOnTheWire)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace
