#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/user_transfer.hpp"
#include "cables/cable.hpp"
#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "jtag/tap.hpp"
#include "platform/time.hpp"
#include "tests/support/recording_cable.hpp"

namespace oscset::bridge {
namespace {

using testing::InstalledCable;
using testing::RecordingCable;

jtag::ChainRecord prom() {
    return {"xcf01s", 0x05044093, 8, 1};
}
jtag::ChainRecord fpga() {
    return {"v100", 0x00614093, 5, 0x1D};
}

class UserTransfer : public ::testing::Test {
  protected:
    void place(std::vector<jtag::ChainRecord> chain, std::int32_t index) {
        jtag::chain_assume(chain);
        jtag::chain_select(index);
        jtag::set_bridge_user_type(-1);
        jtag::set_current_user_type(jtag::USER_TYPE_UNKNOWN);
        cable.clear();
    }
    void SetUp() override { place({fpga()}, 0); }
    void TearDown() override {
        jtag::background_reset();
        jtag::chain_forget();
    }

    // The data-register shifts that carry data (TDI or TDO), as their bit counts and whether
    // they leave Shift-DR; instruction loads (the shift after Select-IR-Scan) are left out.
    std::vector<std::string> data_shifts() const {
        std::vector<std::string> out;
        for (std::size_t i = 0; i < cable.calls.size(); ++i) {
            const testing::ShiftCall& c = cable.calls[i];
            const bool instruction =
                i >= 2 && cable.calls[i - 2].tms_during && cable.calls[i - 2].count == 2 &&
                !cable.calls[i - 1].tms_during && cable.calls[i - 1].count == 2;
            if (!instruction && (!c.tdi.empty() || c.reads_tdo)) {
                out.push_back(std::to_string(c.count) + ":" + (c.tms_last ? "exit" : "stay"));
            }
        }
        return out;
    }

    RecordingCable cable;
    InstalledCable installed{cable};
};

using shifts = std::vector<std::string>;

TEST_F(UserTransfer, AloneOnTheChainTheScanStaysOpenBetweenTransfers) {
    std::vector<std::uint8_t> data(14, 0xA5);
    std::uint32_t length = 14;
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &length), STATUS_OK);
    length = 7;
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &length), STATUS_OK);
    // One selection (reset, USER1, Shift-DR), one start bit, then 112 and 56 bits.
    std::string a5;
    for (int i = 0; i < 14; ++i) {
        a5 += "10100101";
    }
    EXPECT_EQ(cable.trace(), "6:10 1:00 2:11 2:00 5:01/01000 1:11 2:10 1:00 1:00/1 112:00/" + a5 +
                                 " 56:00/" + a5.substr(0, 56));
    EXPECT_EQ(jtag::bridge_user_type(), 1);
    EXPECT_EQ(length, 0u);
}

TEST_F(UserTransfer, OtherDevicesAddTheirBypassBitsAndEveryTransferReselects) {
    place({prom(), fpga(), prom(), prom()}, 1);
    std::vector<std::uint8_t> data(8, 0);
    data[0] = 0x80;
    std::vector<std::uint8_t> answer(8, 0);
    // TDO high only on the clock after the leading extra bits: the FPGA's first answer bit.
    std::uint64_t last_block_start = ~0ull;
    cable.on_shift = [&](const testing::ShiftCall& c) {
        if (c.count == 59) {
            last_block_start = cable.clocks();
        }
    };
    cable.tdo_level = [&](std::uint64_t clock) { return clock == last_block_start + 3; };
    std::uint32_t length = 7;
    EXPECT_EQ(user_transfer(USER1, data.data(), answer.data(), &length), STATUS_OK);
    EXPECT_EQ(data_shifts(), (shifts{"1:stay", "59:exit"}));
    EXPECT_EQ(answer[0], 0x80) << "three leading bits dropped";
    EXPECT_EQ(jtag::bridge_user_type(), 0);

    cable.clear();
    length = 7;
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &length), STATUS_OK);
    EXPECT_EQ(data_shifts(), (shifts{"1:stay", "58:exit"}));
    EXPECT_EQ(cable.trace().substr(0, 9), "6:10 1:00") << "a new selection with a reset";
}

// A read of several blocks is realigned as a whole: the FPGA's first answer bit, three bits
// into the first block, becomes bit 7 of byte 0, and the last block's follows on.
TEST_F(UserTransfer, AMultiBlockReadIsRealignedFromItsFirstByte) {
    place({prom(), fpga(), prom(), prom()}, 1);
    std::vector<std::uint8_t> data(4100 + 1, 0);
    std::vector<std::uint8_t> answer(4100 + 1, 0);
    std::vector<std::uint64_t> block_starts;
    cable.on_shift = [&](const testing::ShiftCall& c) {
        if (c.count >= 32) {
            block_starts.push_back(cable.clocks());
        }
    };
    cable.tdo_level = [&](std::uint64_t clock) {
        return std::find(block_starts.begin(), block_starts.end(), clock - 3) != block_starts.end();
    };
    std::uint32_t length = 4100;
    EXPECT_EQ(user_transfer(USER1, data.data(), answer.data(), &length), STATUS_OK);
    EXPECT_EQ(data_shifts(), (shifts{"1:stay", "32768:stay", "35:exit"}));
    EXPECT_EQ(answer[0], 0x80);
    EXPECT_EQ(answer[4096], 0x80);
}

TEST_F(UserTransfer, LongTransfersGoInBlocksOf4096Bytes) {
    std::vector<std::uint8_t> data(8196, 0x11);
    std::uint32_t length = 8196;
    std::vector<std::uint32_t> seen;
    cable.on_shift = [&](const testing::ShiftCall& c) {
        if (c.count >= 32) {
            seen.push_back(length);
        }
    };
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &length), STATUS_OK);
    EXPECT_EQ(data_shifts(), (shifts{"1:stay", "32768:stay", "32768:stay", "32:stay"}));
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{8196, 4100, 4}));
    EXPECT_EQ(length, 0u);
}

// A block that the cable failed ends the transfer; the next one opens a new scan from a reset.
TEST_F(UserTransfer, ACableFailureEndsTheTransferAndTheNextStartsAfresh) {
    std::vector<std::uint8_t> data(8196, 0xA5);
    std::uint32_t length = 8196;
    // The selection and its start bit are the first nine shifts.
    cable.fails = [](std::size_t call) { return call == 9; };
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &length), STATUS_CABLE_FAILED);
    EXPECT_EQ(data_shifts(), (shifts{"1:stay", "32768:stay"}));
    EXPECT_EQ(length, 4100u);

    // A failure outside any transfer is not the next transfer's.
    cable.fails = [](std::size_t) { return true; };
    jtag::jtag_idle_clocks(1);
    cable.fails = [](std::size_t) { return false; };
    cable.clear();
    length = 7;
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &length), STATUS_OK);
    EXPECT_EQ(cable.trace().substr(0, 9), "6:10 1:00");
    cable.fails = [](std::size_t) { return true; };
    EXPECT_EQ(user_transfer(0, nullptr, nullptr, nullptr), STATUS_CABLE_FAILED);
}

TEST_F(UserTransfer, AZeroLengthStillSelectsButShiftsNoBlock) {
    std::uint32_t length = 0;
    EXPECT_EQ(user_transfer(USER1, nullptr, nullptr, &length), STATUS_OK);
    EXPECT_EQ(data_shifts(), (shifts{"1:stay"}));
    cable.clear();
    EXPECT_EQ(user_transfer(USER1, nullptr, nullptr, &length), STATUS_OK);
    EXPECT_TRUE(cable.calls.empty());
}

TEST_F(UserTransfer, ReleaseResetsUnlessNothingIsSelected) {
    std::uint32_t length = 1;
    const std::uint8_t b = 0;
    user_transfer(USER1, &b, nullptr, &length);
    cable.clear();
    EXPECT_EQ(user_transfer(0, nullptr, nullptr, nullptr), STATUS_OK);
    EXPECT_EQ(cable.trace(), "6:10 1:00");
    EXPECT_EQ(jtag::bridge_user_type(), 0);
    cable.clear();
    EXPECT_EQ(user_transfer(0, nullptr, nullptr, nullptr), STATUS_OK);
    EXPECT_EQ(cable.trace(), "");
}

TEST_F(UserTransfer, ReleaseWithNoCableOpen) {
    cable::cable_close();
    EXPECT_EQ(user_transfer(0, nullptr, nullptr, nullptr), STATUS_NO_CABLE);
    EXPECT_TRUE(cable.calls.empty());
}

// The caller gets control back only once the worker has begun: never while it is starting.
TEST_F(UserTransfer, ABackgroundTransferReturnsOnceItsWorkerRuns) {
    platform::SimulatedTime time(0);
    for (int i = 0; i < 20; ++i) {
        std::uint32_t length = TRANSFER_BACKGROUND;
        user_transfer(USER1, nullptr, nullptr, &length);
        EXPECT_NE(jtag::background_state(), jtag::BG_STARTED) << "try " << i;
        jtag::background_reset();
    }
}

// The worker is held inside its first block until the test lets it go.
TEST_F(UserTransfer, ABackgroundTransferIsBusyUntilCollectedOnce) {
    platform::SimulatedTime time(0);
    std::mutex gate;
    std::condition_variable opened;
    bool go = false;
    std::atomic<bool> inside{false};
    cable.on_shift = [&](const testing::ShiftCall& c) {
        if (c.count == 32768) {
            inside = true;
            std::unique_lock lock(gate);
            opened.wait(lock, [&] { return go; });
        }
    };
    std::vector<std::uint8_t> data(5000, 0x3C);
    std::uint32_t length = 5000 | TRANSFER_BACKGROUND;
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &length), STATUS_BUSY);
    while (!inside) {
        std::this_thread::yield();
    }
    EXPECT_EQ(user_transfer(0, nullptr, nullptr, nullptr), STATUS_BUSY) << "the release waits";
    std::uint32_t other = 1;
    EXPECT_EQ(user_transfer(USER1, data.data(), nullptr, &other), STATUS_BUSY);
    EXPECT_EQ(other, 1u) << "a refused request is not kept";
    EXPECT_EQ(jtag::jtag_ensure_target(), STATUS_BUSY);
    {
        std::lock_guard lock(gate);
        go = true;
    }
    opened.notify_all();
    while (jtag::background_state() != jtag::BG_DONE) {
        std::this_thread::yield();
    }
    EXPECT_EQ(std::atomic_ref<std::uint32_t>(length).load(), 0u);
    EXPECT_EQ(jtag::background_collect(), STATUS_OK);
    EXPECT_EQ(jtag::background_state(), jtag::BG_IDLE);
    EXPECT_EQ(jtag::background_collect(), STATUS_OK) << "idle with a cable open";
}

}  // namespace
}  // namespace oscset::bridge
