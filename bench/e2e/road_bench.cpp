// One run of the program, `oscset 12.3M` on a board that an earlier run left configured,
// through the simulated USB adapter: bulk calls, round trips and bytes on each pipe, the
// exchanges sorted by what caused them, and the time per run.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>

#include "cables/cable.hpp"
#include "cables/usb/usb_cable.hpp"
#include "frontend/driver.hpp"
#include "frontend/hardware_board.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "sim/app/board_description.hpp"
#include "sim/app/sim_hardware.hpp"
#include "tests/support/recording_cable.hpp"

namespace oscset::sim {
namespace {

// What caused each command exchange (pipe 3) and each answered byte-mode transfer (pipe 2).
struct Causes {
    std::uint64_t shifts = 0;
    std::uint64_t probes = 0;
    std::uint64_t mode_commands = 0;
    std::uint64_t mode_commands_redundant = 0;  // set the level the adapter already held
    std::uint64_t tails = 0;                    // per-clock bytes of a shift
    std::uint64_t tails_without_tdo = 0;        // whose answers nobody reads
    std::uint64_t readbacks = 0;                // pipe-2 transfers
};

// A spy in front of the USB cable, with the adapter's counts read around every shift. Passes
// every call through unchanged.
class CauseCounter {
  public:
    CauseCounter(SimAdapter& adapter, Causes& causes) : adapter_(adapter), causes_(causes) {
        spy.records_tdi = false;
        spy.on_shift = [this](const testing::ShiftCall&) {
            follow_events();
            before_ = adapter_.counts();
        };
        spy.after_shift = [this](const testing::ShiftCall& call) { count(call); };
    }
    ~CauseCounter() { follow_events(); }
    CauseCounter(const CauseCounter&) = delete;
    CauseCounter& operator=(const CauseCounter&) = delete;

    testing::SpyCable spy{usb::usb_cable()};

  private:
    // Opens and probes since the last shift: an open forgets the level, a probe drives TMS high.
    void follow_events() {
        for (; seen_ < spy.events.size(); ++seen_) {
            if (spy.events[seen_] == "probe") {
                ++causes_.probes;
                tms_ = 1;
            } else if (spy.events[seen_].starts_with("open")) {
                tms_ = -1;
            }
        }
    }
    void count(const testing::ShiftCall& call) {
        const SimAdapterCounts after = adapter_.counts();
        if (call.count == 0) {
            return;
        }
        ++causes_.shifts;
        // A last bit at another level, or bits short of a whole byte, go per clock.
        const bool tail = call.tms_during != call.tms_last || call.count % 8 != 0;
        const std::uint32_t commands = after.write_calls[3] - before_.write_calls[3];
        const std::uint32_t modes = commands - (tail ? 1 : 0);
        causes_.mode_commands += modes;
        if (modes != 0) {
            causes_.mode_commands_redundant += tms_ == call.tms_during ? 1 : 0;
            tms_ = call.tms_during;
        }
        if (tail) {
            ++causes_.tails;
            causes_.tails_without_tdo += call.reads_tdo ? 0 : 1;
            tms_ = call.tms_last;
        }
        causes_.readbacks += after.write_calls[2] - before_.write_calls[2];
    }

    SimAdapter& adapter_;
    Causes& causes_;
    SimAdapterCounts before_;
    std::size_t seen_ = 0;
    std::int32_t tms_ = -1;  // the TMS level the adapter holds, as its bytes set it
};

struct Totals {
    SimAdapterCounts counts;
    Causes causes;
    std::uint64_t sleep_ms = 0;
    int failures = 0;
};

void add(SimAdapterCounts& sum, const SimAdapterCounts& c) {
    for (std::size_t p = 0; p < sum.write_calls.size(); ++p) {
        sum.write_calls[p] += c.write_calls[p];
        sum.bytes_written[p] += c.bytes_written[p];
    }
    sum.read_calls += c.read_calls;
    sum.bytes_read += c.bytes_read;
    sum.clocks += c.clocks;
    sum.opens += c.opens;
}

// One run on fresh hardware; the hardware's construction and teardown are not timed.
void run_program(benchmark::State& state, platform::SimulatedTime& time, Totals& totals) {
    state.PauseTiming();
    SimDescription description;
    std::string error;
    parse_board_description("adapter=ready,configured=1", description, error);
    auto hardware = std::make_unique<SimHardware>(description);
    CauseCounter counter(*hardware->adapter(), totals.causes);
    cable::cable_set_driver(cable::USB_CABLE_NAME, &counter.spy);
    time.clear();
    const char* argv[] = {"oscset", "12.3M"};
    state.ResumeTiming();

    int code = 0;
    {
        platform::ConsoleCapture console;
        frontend::HardwareClockBoard board({.system_file = "", .accept_placeholder = true});
        code = frontend::oscset_main(2, argv, stdin, board);
    }

    state.PauseTiming();
    totals.failures += code != 0 ? 1 : 0;
    totals.sleep_ms += time.total_ms();
    add(totals.counts, hardware->adapter()->counts());
    cable::cable_close();
    cable::cable_set_driver(cable::USB_CABLE_NAME, nullptr);
    hardware.reset();
    state.ResumeTiming();
}

void report(benchmark::State& state, const Totals& t) {
    const auto per_run = benchmark::Counter::kAvgIterations;
    auto counter = [&](const char* name, double value) {
        state.counters[name] = benchmark::Counter(value, per_run);
    };
    const SimAdapterCounts& c = t.counts;
    const std::uint64_t writes = c.write_calls[1] + c.write_calls[2] + c.write_calls[3];
    counter("bulk_calls", static_cast<double>(writes + c.read_calls));
    counter("bulk_writes_pipe1", c.write_calls[1]);
    counter("bulk_writes_pipe2", c.write_calls[2]);
    counter("bulk_writes_pipe3", c.write_calls[3]);
    counter("bulk_reads_pipe5", c.read_calls);
    counter("round_trips", static_cast<double>(c.write_calls[2] + c.write_calls[3]));
    counter("bytes_pipe1", static_cast<double>(c.bytes_written[1]));
    counter("bytes_pipe2", static_cast<double>(c.bytes_written[2]));
    counter("bytes_pipe3", static_cast<double>(c.bytes_written[3]));
    counter("bytes_pipe5", static_cast<double>(c.bytes_read));
    counter("tck_clocks", static_cast<double>(c.clocks));
    counter("shifts", static_cast<double>(t.causes.shifts));
    counter("x_probe", static_cast<double>(t.causes.probes));
    counter("x_mode", static_cast<double>(t.causes.mode_commands));
    counter("x_mode_redundant", static_cast<double>(t.causes.mode_commands_redundant));
    counter("x_tail", static_cast<double>(t.causes.tails));
    counter("x_tail_no_tdo", static_cast<double>(t.causes.tails_without_tdo));
    counter("x_readback", static_cast<double>(t.causes.readbacks));
    counter("nominal_sleep_ms", static_cast<double>(t.sleep_ms));
    counter("failed_runs", t.failures);
}

void road(benchmark::State& state, std::uint32_t shortening) {
    platform::SimulatedTime time(shortening);
    Totals totals;
    for (auto _ : state) {
        run_program(state, time, totals);
    }
    report(state, totals);
}

// Sleeps shortened a hundredfold (the USB read-back's limit still 50 ms): the work itself.
void BM_RoadOfOneRequest(benchmark::State& state) {
    road(state, 100);
}

// With the program's own times: what a user waits for.
void BM_RoadOfOneRequestRealTime(benchmark::State& state) {
    road(state, 1);
}

BENCHMARK(BM_RoadOfOneRequest)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RoadOfOneRequestRealTime)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace oscset::sim

BENCHMARK_MAIN();
