// What one shift costs on the wire through the simulated adapter: bulk calls, round trips
// (exchanges that wait for an answer), bytes per pipe, and heap allocations per shift.

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "cables/usb/usb_cable.hpp"
#include "platform/console.hpp"
#include "sim/usb/sim_adapter.hpp"

namespace {

std::atomic<std::uint64_t> allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
// The counting operator new above takes its memory from malloc.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace oscset::sim {
namespace {

// TDO follows TDI one clock later: enough for traffic figures.
class LoopbackPort final : public JtagPort {
  public:
    bool clock(bool tdi, bool) override {
        const bool out = last_;
        last_ = tdi;
        return out;
    }
    void drive(bool, bool, bool) override {}
    bool tdo() const override { return last_; }
    bool target_power() const override { return true; }

  private:
    bool last_ = false;
};

struct OpenAdapter {
    LoopbackPort port;
    SimAdapter adapter{port, {.mode = SimAdapterMode::RUNNING}};
    OpenAdapter() {
        usb::set_usb_backend(&adapter);
        platform::ConsoleCapture quiet;
        usb::usb_cable_open(0, 115200, nullptr);
    }
    ~OpenAdapter() {
        usb::usb_cable_close();
        usb::set_usb_backend(nullptr);
    }
};

OpenAdapter& open_adapter() {
    static OpenAdapter open;
    return open;
}

void run_shift(benchmark::State& state, std::uint32_t bits, std::int32_t tms_during,
               std::int32_t tms_last, bool with_tdo) {
    OpenAdapter& open = open_adapter();
    std::vector<std::uint8_t> tdi((bits + 7) / 8, 0x5A);
    std::vector<std::uint8_t> tdo(tdi.size());
    // One shift first, so that the figures show the steady state (the mode command of the
    // first byte-mode shift at a level is sent once).
    usb::usb_cable_shift(tdi.data(), with_tdo ? tdo.data() : nullptr, bits, tms_during, tms_last);
    open.adapter.reset_counts();
    const std::uint64_t allocated_before = allocations.load();
    for (auto _ : state) {
        usb::usb_cable_shift(tdi.data(), with_tdo ? tdo.data() : nullptr, bits, tms_during,
                             tms_last);
        benchmark::DoNotOptimize(tdo.data());
    }
    const std::uint64_t allocated = allocations.load() - allocated_before;
    const SimAdapterCounts c = open.adapter.counts();
    const auto per_shift = benchmark::Counter::kAvgIterations;
    state.counters["bulk_writes"] = {
        static_cast<double>(c.write_calls[1] + c.write_calls[2] + c.write_calls[3]), per_shift};
    state.counters["round_trips"] =
        benchmark::Counter(static_cast<double>(c.write_calls[2] + c.write_calls[3]), per_shift);
    state.counters["bulk_reads"] = {static_cast<double>(c.read_calls), per_shift};
    state.counters["pipe1_bytes"] = {static_cast<double>(c.bytes_written[1]), per_shift};
    state.counters["pipe2_bytes"] = {static_cast<double>(c.bytes_written[2]), per_shift};
    state.counters["pipe3_bytes"] = {static_cast<double>(c.bytes_written[3]), per_shift};
    state.counters["pipe5_bytes"] = {static_cast<double>(c.bytes_read), per_shift};
    state.counters["allocations"] = {static_cast<double>(allocated), per_shift};
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (bits / 8));
}

// A configuration block: 4096 bytes into Shift-DR, the last bit moving to Exit1-DR.
void BM_LongShiftOut(benchmark::State& state) {
    run_shift(state, 8 * 4096, 0, 1, false);
}
// The same with read-back.
void BM_LongShiftReadBack(benchmark::State& state) {
    run_shift(state, 8 * 4096, 0, 1, true);
}
// The longest byte-mode transfer and one more byte: two transfers.
void BM_LongestShift(benchmark::State& state) {
    run_shift(state, 8 * 0x8001, 0, 0, false);
}
// To Run-Test/Idle through Test-Logic-Reset: five clocks, TMS 1,1,1,1,0.
void BM_ShortTmsMove(benchmark::State& state) {
    run_shift(state, 5, 1, 0, false);
}
// A short read-back, as of an instruction register: 6 bits ending in Exit1-IR.
void BM_ShortReadBack(benchmark::State& state) {
    run_shift(state, 6, 0, 1, true);
}

BENCHMARK(BM_LongShiftOut);
BENCHMARK(BM_LongShiftReadBack);
BENCHMARK(BM_LongestShift);
BENCHMARK(BM_ShortTmsMove);
BENCHMARK(BM_ShortReadBack);

}  // namespace
}  // namespace oscset::sim

BENCHMARK_MAIN();
