// The configuration engine's control flow against a recording cable: what it does with
// answers it cannot use. Its work on a real chip is tested against the simulated board.

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cables/cable.hpp"
#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "jtag/config_engine.hpp"
#include "platform/console.hpp"
#include "platform/time.hpp"
#include "tests/support/recording_cable.hpp"

namespace oscset::jtag {
namespace {

using testing::InstalledCable;
using testing::RecordingCable;

class ConfigEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        chain_assume(std::vector<ChainRecord>{{"v100", 0x00614093, 5, 0x1D}}, 0);
        cable.clear();
    }
    void TearDown() override {
        background_reset();
        chain_forget();
    }
    // The data-register shifts longer than the TAP moves, by bit count.
    std::vector<std::uint32_t> long_shifts() const {
        std::vector<std::uint32_t> out;
        for (const testing::ShiftCall& c : cable.calls) {
            if (c.count > 64) {
                out.push_back(c.count);
            }
        }
        return out;
    }

    platform::SimulatedTime time{0};
    RecordingCable cable;
    InstalledCable installed{cable};
};

TEST_F(ConfigEngine, AStatusOfAllOnesIsAReadError) {
    cable.tdo_level = [](std::uint64_t) { return true; };
    std::vector<std::uint8_t> image(8192, 0xFF);
    std::int32_t length = 8192;
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure(image.data(), &length), STATUS_NOT_CONFIGURED);
    EXPECT_EQ(console.text(), "status read error\n");
    EXPECT_TRUE(long_shifts().empty()) << "no sequence and no stream";
    EXPECT_EQ(length, 8192);
}

TEST_F(ConfigEngine, AnUnconfiguredFpgaGetsTheStreamInBlocksAtOnce) {
    std::vector<std::uint8_t> image(8192, 0xFF);
    std::int32_t length = 8192;
    // Status 0 (not configured, no error) before and after: the final check fails.
    EXPECT_EQ(fpga_configure(image.data(), &length), STATUS_NOT_CONFIGURED);
    EXPECT_EQ(long_shifts(), (std::vector<std::uint32_t>{32768, 32768}));
    EXPECT_EQ(length, 0);
    EXPECT_TRUE(time.sleeps().empty()) << "no reconfiguration waits";
}

// Every shift of a reconfiguration, on a chain with two devices on each side of the FPGA: the
// status reads, the shutdown and quiet-down sequences with their start-up clocks, the stream's
// lead word, its last block pushed through the TDI-side bypasses, and the start-up.
TEST_F(ConfigEngine, AReconfigurationShiftsExactlyTheseSequences) {
    const ChainRecord prom{"xcf01s", 0x05044093, 8, 1};
    chain_assume(std::vector<ChainRecord>{prom, prom, {"v100", 0x00614093, 5, 0x1D}, prom, prom},
                 2);
    // Both status reads answer DONE: after the pad bit, bit 14 is the 18th bit.
    std::uint64_t status_at = ~0ull;
    cable.on_shift = [&](const testing::ShiftCall& c) {
        if (c.count == 33) {
            status_at = cable.clocks();
        }
    };
    cable.tdo_level = [&](std::uint64_t clock) { return clock == status_at + 18; };
    const std::string ones(16, '1');
    const auto ir = [&](const char* code_lsb_first) {
        return "2:11 2:00 37:01/" + ones + code_lsb_first + ones + " 1:11 ";
    };
    const auto cfg_in = [&](const std::string& bits) {
        return ir("10100") + "2:10 1:00 30:00 " + std::to_string(bits.size()) + ":00/" + bits +
               " 2:01 1:11 ";
    };
    const std::string jstart = ir("00110") + "2:10 1:00 16:01 1:11 ";
    const std::string status = "6:10 6:10 " + cfg_in(testing::word_bits({0x2800E001, 0})) +
                               ir("00100") + "2:10 1:00 2:00 33:01r 1:11 1:00 ";
    const std::string SEQUENCE_A = testing::word_bits(
        {0x30008001, 9, 0x30012001, 0x00A0BF2D, 0x30008001, 5, 0x30008001, 7, 0});
    const std::string SEQUENCE_B = testing::word_bits({0x30008001, 8, 0x30012001, 0x00A03F2D, 0});
    const std::vector<std::uint8_t> image{0xFF, 0xFF, 0xFF, 0xFF, 0xAA, 0x99, 0x55, 0x66};
    std::int32_t length = 8;

    EXPECT_EQ(fpga_configure(image.data(), &length), STATUS_OK);
    EXPECT_EQ(cable.trace() + ' ',
              status + "6:10 " + cfg_in(SEQUENCE_A) + jstart + cfg_in(SEQUENCE_B) + "6:10 " +
                  ir("10100") + "2:10 1:00 30:00 64:00/" + testing::word_bits({~0u, 0xAA995566}) +
                  " 2:01 1:11 " + jstart + "1:00 " + status);
    EXPECT_EQ(time.sleeps(), (std::vector<std::uint32_t>{50, 50, 50}));
}

TEST_F(ConfigEngine, SourceWithoutLength) {
    const std::uint8_t image = 0xFF;
    EXPECT_EQ(fpga_configure(&image, nullptr), STATUS_NO_LENGTH);
    EXPECT_TRUE(cable.calls.empty());
}

TEST_F(ConfigEngine, WhatIsNoMemoryImageIsOpenedAsAFileName) {
    const char name[] = "/nonexistent/oscset.bit";
    std::int32_t length = 100;
    EXPECT_EQ(fpga_configure(name, &length), STATUS_FILE_ERROR);
    std::vector<std::uint8_t> image(16, 0xFF);
    image.back() = 0;
    length = 0;
    EXPECT_EQ(fpga_configure(image.data(), &length), STATUS_FILE_ERROR);
    EXPECT_TRUE(long_shifts().empty());
}

TEST_F(ConfigEngine, NoTargetPowerAndNoChain) {
    chain_forget();
    cable.probe_result = 0;
    std::int32_t length = 4;
    const std::uint8_t image[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(fpga_configure(image, &length), STATUS_NO_TARGET_POWER);
    EXPECT_TRUE(cable.calls.empty());

    cable.probe_result = 1;  // TDO stuck low: the device count never ends
    platform::ConsoleCapture console;
    EXPECT_EQ(fpga_configure_with_progress(image, 97'652), STATUS_NO_FPGA);
    EXPECT_EQ(console.text(), "\rConfigration remain=   97652\n") << "no request flag shown";
}

TEST_F(ConfigEngine, NoCableOpen) {
    cable::cable_close();
    std::int32_t length = 4;
    const std::uint8_t image[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(fpga_configure(image, &length), STATUS_NO_CABLE);
    EXPECT_EQ(fpga_configure(nullptr, nullptr), STATUS_NO_CABLE);
}

TEST_F(ConfigEngine, TheWorkerIsBusyUntilItsResultIsCollectedOnce) {
    std::mutex gate;
    std::condition_variable opened;
    bool go = false;
    std::atomic<int> blocks{0};
    cable.on_shift = [&](const testing::ShiftCall& c) {
        if (c.count == 32768 && blocks++ == 0) {
            std::unique_lock lock(gate);
            opened.wait(lock, [&] { return go; });
        }
    };
    std::vector<std::uint8_t> image(3 * 4096, 0xFF);
    std::int32_t length = static_cast<std::int32_t>(image.size() | CONFIG_BACKGROUND);
    EXPECT_EQ(fpga_configure(image.data(), &length), STATUS_BUSY);
    EXPECT_EQ(std::atomic_ref<std::int32_t>(length).load(), 3 * 4096)
        << "the length is known before the first block has gone";
    EXPECT_EQ(background_state(), BG_RUNNING);
    EXPECT_EQ(fpga_configure(nullptr, nullptr), STATUS_BUSY);
    std::int32_t other = 4;
    EXPECT_EQ(fpga_configure(image.data(), &other), STATUS_BUSY);
    {
        std::lock_guard lock(gate);
        go = true;
    }
    opened.notify_all();
    status_t r = STATUS_BUSY;
    for (int i = 0; i < 100000 && r == STATUS_BUSY; ++i) {
        r = fpga_configure(nullptr, nullptr);
        std::this_thread::yield();
    }
    EXPECT_EQ(r, STATUS_NOT_CONFIGURED) << "the worker's result, once";
    EXPECT_EQ(fpga_configure(nullptr, nullptr), STATUS_OK);
    EXPECT_EQ(std::atomic_ref<std::int32_t>(length).load(), 0);
    EXPECT_EQ(blocks.load(), 3);
}

}  // namespace
}  // namespace oscset::jtag
