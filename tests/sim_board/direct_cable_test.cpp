#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/direct_cable.hpp"
#include "tests/sim_board/streams.hpp"
#include "tests/support/clock_only_port.hpp"

namespace oscset::sim {
namespace {

// Shifts in the cable's terms: count clocks, TMS at tms_during and tms_last.
struct Cabled {
    Board board;
    DirectCable cable{board};

    explicit Cabled(const BoardConfig& config = {}) : board(config) {}
    void tms(std::uint32_t count, int during, int last) {
        cable.shift(nullptr, nullptr, count, during, last);
    }
    void reset_to_idle() { tms(6, 1, 0); }
    void to_shift_dr() {
        tms(2, 1, 0);
        tms(1, 0, 0);
    }
    void load_ir(std::uint8_t code) {
        tms(2, 1, 1);
        tms(2, 0, 0);
        cable.shift(&code, nullptr, 5, 0, 1);  // not reversed: bit 7 first, so put it there
        tms(1, 1, 1);
    }
};

std::uint8_t reverse(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        r = static_cast<std::uint8_t>(r | (((b >> i) & 1) << (7 - i)));
    }
    return r;
}

TEST(DirectCable, OpenCloseProbe) {
    Cabled c;
    char description[cable::DESCRIPTION_SIZE];
    EXPECT_EQ(c.cable.open(0, 115200, description), 0);
    EXPECT_STREQ(description, DIRECT_CABLE_DESCRIPTION);
    EXPECT_EQ(c.cable.open(0, 115200, nullptr), 0);
    EXPECT_EQ(c.cable.probe(), 1);
    c.cable.close();
    c.board.set_target_power(false);
    EXPECT_EQ(c.cable.probe(), 0);
}

TEST(DirectCable, CountZeroMakesNoClockAndWritesNothing) {
    Cabled c;
    std::array<std::uint8_t, 2> tdo{0xAA, 0xAA};
    const std::uint8_t tdi = 0xFF;
    EXPECT_EQ(c.cable.shift(&tdi, tdo.data(), 0, 1, 1), 0);
    EXPECT_EQ(tdo, (std::array<std::uint8_t, 2>{0xAA, 0xAA}));
    EXPECT_EQ(c.board.clocks(), 0u);
}

TEST(DirectCable, OneClockUsesTmsLast) {
    Cabled c;
    c.reset_to_idle();
    std::uint8_t tdo = 0xAA;
    c.cable.shift(nullptr, &tdo, 1, 0, 1);
    EXPECT_EQ(c.board.tap_state(0), TapState::SELECT_DR_SCAN);
    EXPECT_EQ(tdo, 1);  // Run-Test/Idle drives nothing: the pull-up
    c.cable.shift(nullptr, &tdo, 1, 1, 0);
    EXPECT_EQ(c.board.tap_state(0), TapState::CAPTURE_DR);
}

TEST(DirectCable, IdcodeComesBackLeastSignificantBitFirst) {
    Cabled c;
    c.reset_to_idle();
    c.to_shift_dr();
    std::array<std::uint8_t, 5> tdo{};
    tdo[4] = 0x5A;
    c.cable.shift(nullptr, tdo.data(), 32, 0, 1);
    EXPECT_EQ(tdo, (std::array<std::uint8_t, 5>{0x93, 0x40, 0x61, 0x10, 0x5A}));
    EXPECT_EQ(c.board.tap_state(0), TapState::EXIT1_DR);
}

TEST(DirectCable, TwelveBitsWriteTwoBytesWithTheUnusedBitsCleared) {
    Cabled c;
    c.reset_to_idle();
    c.to_shift_dr();
    std::array<std::uint8_t, 3> tdo{0xFF, 0xFF, 0xFF};
    c.cable.shift(nullptr, tdo.data(), 12, 0, 0);
    EXPECT_EQ(tdo[0], 0x93);
    EXPECT_EQ(tdo[1], 0x00);  // IDCODE bits 8..11 are 0; bits 4..7 of the byte unused
    EXPECT_EQ(tdo[2], 0xFF);
    c.cable.shift(nullptr, tdo.data(), 12, 0, 0);
    EXPECT_EQ(tdo[0], 0x14);  // IDCODE bits 12..19
    EXPECT_EQ(tdo[1], 0x06);  // bits 20..23, high nibble cleared
}

struct BypassRow {
    std::vector<std::uint8_t> tdi;
    std::uint32_t count;
    std::vector<std::uint8_t> tdo;
};

class ThroughBypass : public ::testing::TestWithParam<BypassRow> {};

// The 1-bit bypass register returns TDI one clock late, behind its captured 0.
TEST_P(ThroughBypass, TdiMostSignificantFirstTdoLeastSignificantFirst) {
    const BypassRow& row = GetParam();
    for (bool alias : {false, true}) {
        Cabled c;
        c.reset_to_idle();
        c.load_ir(reverse(31));
        c.tms(1, 0, 0);  // Update-IR to Run-Test/Idle
        c.to_shift_dr();
        std::vector<std::uint8_t> buffer = row.tdi;
        std::vector<std::uint8_t> out(row.tdi.size(), 0xEE);
        std::uint8_t* tdo = alias ? buffer.data() : out.data();
        c.cable.shift(buffer.data(), tdo, row.count, 0, 0);
        EXPECT_EQ(alias ? buffer : out, row.tdo) << (alias ? "aliased" : "separate");
    }
}

INSTANTIATE_TEST_SUITE_P(Patterns, ThroughBypass,
                         ::testing::Values(BypassRow{{0xA5}, 8, {0x4A}},  // TDI 1,0,1,0,0,1,0,1
                                           BypassRow{{0xA5, 0x80}, 9, {0x4A, 0x01}},
                                           BypassRow{{0xFF, 0x0F}, 12, {0xFE, 0x01}},
                                           BypassRow{{0x01, 0x80, 0xFF}, 24, {0x00, 0x03, 0xFE}}));

TEST(DirectCable, TheBoardsFastPathMatchesClockByClock) {
    BoardConfig config;
    config.chain = {"xcf01s", "2s100", "3s200"};
    config.fpga_configured = true;
    Board fast(config);
    Board slow(config);
    oscset::testing::ClockOnlyPort slow_port(slow);
    DirectCable a(fast);
    DirectCable b(slow_port);
    std::uint32_t x = 7;
    std::vector<std::uint8_t> tdi(64);
    std::vector<std::uint8_t> tdo_a(64);
    std::vector<std::uint8_t> tdo_b(64);
    for (int i = 0; i < 2000; ++i) {
        x = x * 1664525u + 1013904223u;
        const std::uint32_t count = (x >> 8) % 70;
        const int during = (x >> 20) % 5 == 0;
        const int last = (x >> 24) & 1;
        for (auto& byte : tdi) {
            x = x * 1664525u + 1013904223u;
            byte = static_cast<std::uint8_t>(x >> 24);
        }
        a.shift(tdi.data(), tdo_a.data(), count, during, last);
        b.shift(tdi.data(), tdo_b.data(), count, during, last);
        ASSERT_EQ(tdo_a, tdo_b) << "shift " << i;
        for (std::size_t d = 0; d < 3; ++d) {
            ASSERT_EQ(fast.tap_state(d), slow.tap_state(d));
            ASSERT_EQ(fast.instruction(d), slow.instruction(d));
        }
    }
    EXPECT_EQ(fast.events(), slow.events());
}

// The program's whole sequence for a blank FPGA, in the cable's terms: reset, status read,
// CFG_IN with the image in 4096-byte blocks in one Shift-DR scan, JSTART with 16 clocks in
// Shift-DR, Run-Test/Idle, status read.
std::uint32_t status_read(Cabled& c) {
    c.reset_to_idle();
    c.reset_to_idle();
    c.load_ir(reverse(5));
    c.to_shift_dr();
    const std::uint8_t request[8] = {0x28, 0x00, 0xE0, 0x01, 0, 0, 0, 0};
    c.cable.shift(request, nullptr, 64, 0, 1);
    c.tms(1, 1, 1);
    c.load_ir(reverse(4));
    c.to_shift_dr();
    std::uint8_t tdo[5];
    c.cable.shift(nullptr, tdo, 33, 0, 1);
    c.tms(1, 1, 1);
    c.tms(1, 0, 0);
    std::uint64_t bits = 0;
    for (int i = 0; i < 33; ++i) {
        bits = (bits << 1) | ((tdo[i / 8] >> (i % 8)) & 1);
    }
    return static_cast<std::uint32_t>(bits);
}

TEST(DirectCable, TheProgramsImageConfiguresThroughTheCable) {
    const auto image = testing::to_bytes(testing::build_stream_words(testing::StreamForm{}));
    ASSERT_EQ(image.size(), 97652u);
    Cabled c;
    EXPECT_EQ(status_read(c), 0u);
    c.reset_to_idle();
    c.load_ir(reverse(5));
    c.to_shift_dr();
    for (std::size_t sent = 0; sent < image.size(); sent += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, image.size() - sent);
        const bool last = sent + n == image.size();
        c.cable.shift(image.data() + sent, nullptr, static_cast<std::uint32_t>(8 * n), 0,
                      last ? 1 : 0);
    }
    c.tms(1, 1, 1);  // Update-DR
    c.load_ir(reverse(12));
    c.to_shift_dr();
    c.tms(16, 0, 1);
    c.tms(1, 1, 1);
    c.tms(1, 0, 0);
    const std::uint32_t stat = status_read(c);
    EXPECT_EQ(stat & 0x4001, 0x4000u);
    EXPECT_TRUE(c.board.fpga(0)->configured());
    EXPECT_GT(c.board.clocks(), 781216u);
}

}  // namespace
}  // namespace oscset::sim
