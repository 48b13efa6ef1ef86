// Simulated clocks per second: the program's configuration image (97,652 bytes, about
// 800,000 clocks) through the direct cable into a blank XC2S100, and bridge packets through
// USER1 of a running one.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/config_crc.hpp"
#include "sim/board/direct_cable.hpp"
#include "tests/support/clock_only_port.hpp"

namespace {

using oscset::sim::Board;
using oscset::sim::BoardConfig;
using oscset::sim::DirectCable;

constexpr std::uint32_t FLR = 13;
constexpr std::uint32_t FRAME_WORDS = FLR + 1;

// An XC2S100 stream of the image's form (zero frames, CCLK start-up), 24,413 words.
std::vector<std::uint8_t> make_image() {
    std::vector<std::uint32_t> w;
    std::uint16_t crc = 0;
    auto data = [&](std::uint32_t reg, std::uint32_t value) {
        w.push_back(value);
        crc = oscset::sim::config_crc_update(crc, reg, value);
    };
    auto write = [&](std::uint32_t reg, std::uint32_t value) {
        w.push_back(0x30000001 | (reg << 13));
        data(reg, value);
    };
    auto frames = [&](std::uint32_t n) {
        for (std::uint32_t i = 0; i < n; ++i) {
            data(2, 0);
        }
    };
    auto check = [&]() {
        w.push_back(0x30000001);
        w.push_back(crc);
        crc = 0;
    };
    w.push_back(0xFFFFFFFF);
    w.push_back(0xAA995566);
    write(4, 7);
    crc = 0;
    write(11, FLR);
    write(9, 0x00803F2D);
    write(6, 0);
    write(4, 9);
    write(1, 0);
    write(4, 1);
    w.push_back(0x30004000);
    w.push_back(0x5000581A);
    frames(22554);
    write(1, 0x02000000);
    w.push_back(0x3000438E);
    frames(910);
    write(1, 0x02020000);
    w.push_back(0x30004380);
    frames(896);
    check();
    write(4, 3);
    w.push_back(0x30004000 | FRAME_WORDS);
    frames(FRAME_WORDS);
    write(4, 5);
    write(5, 0);
    check();
    for (int i = 0; i < 4; ++i) {
        w.push_back(0);
    }
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t x : w) {
        for (int s = 24; s >= 0; s -= 8) {
            bytes.push_back(static_cast<std::uint8_t>(x >> s));
        }
    }
    return bytes;
}

std::uint8_t reversed(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
    }
    return r;
}

void load_ir(DirectCable& cable, std::uint8_t code) {
    const std::uint8_t bits = reversed(code);
    cable.shift(nullptr, nullptr, 2, 1, 1);
    cable.shift(nullptr, nullptr, 2, 0, 0);
    cable.shift(&bits, nullptr, 5, 0, 1);
    cable.shift(nullptr, nullptr, 1, 1, 1);
}

void enter_shift_dr(DirectCable& cable) {
    cable.shift(nullptr, nullptr, 2, 1, 0);
    cable.shift(nullptr, nullptr, 1, 0, 0);
}

// state.range(0): 0 through the board's bulk path, 1 one clock() per bit.
void BM_ConfigurationImage(benchmark::State& state) {
    const std::vector<std::uint8_t> image = make_image();
    std::uint64_t clocks = 0;
    bool configured = true;
    for (auto _ : state) {
        Board board;
        oscset::testing::ClockOnlyPort port(board);
        DirectCable cable(state.range(0) == 0 ? static_cast<oscset::sim::JtagPort&>(board) : port);
        cable.shift(nullptr, nullptr, 6, 1, 0);
        load_ir(cable, 5);
        enter_shift_dr(cable);
        for (std::size_t sent = 0; sent < image.size(); sent += 4096) {
            const std::size_t n = image.size() - sent < 4096 ? image.size() - sent : 4096;
            cable.shift(image.data() + sent, nullptr, static_cast<std::uint32_t>(8 * n), 0,
                        sent + n == image.size());
        }
        cable.shift(nullptr, nullptr, 1, 1, 1);
        load_ir(cable, 12);
        enter_shift_dr(cable);
        cable.shift(nullptr, nullptr, 16, 0, 1);
        cable.shift(nullptr, nullptr, 2, 1, 0);
        configured = configured && board.fpga(0)->configured();
        clocks += board.clocks();
    }
    if (!configured) {
        state.SkipWithError("the image did not configure the board");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(clocks));
    state.counters["clocks/s"] =
        benchmark::Counter(static_cast<double>(clocks), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConfigurationImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_BridgeReads(benchmark::State& state) {
    BoardConfig config;
    config.fpga_configured = true;
    Board board(config);
    DirectCable cable(board);
    cable.shift(nullptr, nullptr, 6, 1, 0);
    load_ir(cable, 2);
    enter_shift_dr(cable);
    const std::uint8_t start = 0x80;
    cable.shift(&start, nullptr, 1, 0, 0);
    // One read packet of 4,096 bytes at 0x1000, with its reply.
    std::vector<std::uint8_t> packet{0x80, 0x00, 0x10, 0x00};
    packet.insert(packet.end(), 4096, 0x21);
    packet.insert(packet.end(), {0, 0});
    std::vector<std::uint8_t> reply(packet.size());
    const std::uint64_t before = board.clocks();
    for (auto _ : state) {
        cable.shift(packet.data(), reply.data(), static_cast<std::uint32_t>(8 * packet.size()), 0,
                    0);
        board.clear_events();
        benchmark::DoNotOptimize(reply.data());
    }
    const auto clocks = static_cast<double>(board.clocks() - before);
    state.SetItemsProcessed(static_cast<std::int64_t>(clocks));
    state.counters["clocks/s"] = benchmark::Counter(clocks, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BridgeReads)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
