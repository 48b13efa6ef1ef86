#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.hpp"
#include "cables/cable.hpp"
#include "jtag/background.hpp"
#include "jtag/chain.hpp"
#include "jtag/tap.hpp"
#include "platform/console.hpp"
#include "tests/support/recording_cable.hpp"

namespace oscset::bridge {
namespace {

using testing::InstalledCable;
using testing::RecordingCable;
using bytes = std::vector<std::uint8_t>;

// The FPGA alone on the chain, behind a recording cable; each packet is one shift with TDI.
class BridgePackets : public ::testing::Test {
  protected:
    void SetUp() override {
        jtag::chain_assume(std::vector<jtag::ChainRecord>{{"v100", 0x00614093, 5, 0x1D}});
        jtag::chain_select(0);
        jtag::set_bridge_user_type(1);  // a scan already open: packets only, no selection
        jtag::set_current_user_type(1);
        cable.clear();
    }
    void TearDown() override { jtag::chain_forget(); }

    // The packets that reached the chain: the TDI bytes of all shifts, cut where each packet
    // ends (a write at its 0x00 after the chunks, a read at its two 0x00 after the fillers).
    std::vector<bytes> packets() const {
        const std::string bits = cable.tdi_stream();
        bytes stream;
        for (std::size_t i = 0; i + 8 <= bits.size(); i += 8) {
            stream.push_back(static_cast<std::uint8_t>(std::stoul(bits.substr(i, 8), nullptr, 2)));
        }
        std::vector<bytes> out;
        std::size_t at = 0;
        while (at + 4 < stream.size()) {
            std::size_t end = at + 4;
            if (stream[end] == 0x21) {
                while (end < stream.size() && stream[end] == 0x21) {
                    ++end;
                }
                end += 2;
            } else {
                while (end < stream.size() && stream[end] != 0x00) {
                    end += 1 + (stream[end] - 0x40);
                }
                end += 1;
            }
            end = std::min(end, stream.size());
            out.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(at),
                             stream.begin() + static_cast<std::ptrdiff_t>(end));
            at = end;
        }
        return out;
    }

    RecordingCable cable;
    InstalledCable installed{cable};
};

TEST_F(BridgePackets, AnEightByteWriteIsOneFourteenBytePacket) {
    const bytes data{0, 1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(bridge_write(0, data.data(), 8), STATUS_OK);
    EXPECT_EQ(packets(), (std::vector<bytes>{{0x80, 0, 0, 0, 0x48, 0, 1, 2, 3, 4, 5, 6, 7, 0}}));
}

TEST_F(BridgePackets, AOneByteReadTakesReplyByteSix) {
    // The chain answers 0x03 in the seventh byte of the reply.
    cable.tdo_level = [](std::uint64_t clock) { return clock == 48 + 6 || clock == 48 + 7; };
    std::uint8_t status = 0;
    EXPECT_EQ(bridge_read(0, &status, 1), STATUS_OK);
    EXPECT_EQ(packets(), (std::vector<bytes>{{0x80, 0, 0, 0, 0x21, 0, 0}}));
    EXPECT_EQ(status, 0x03);
    // Reads whose read-back fails never bring back the last answer, reversed or not.
    cable.keeps_tdo = true;
    for (int read = 0; read < 2; ++read) {
        EXPECT_EQ(bridge_read(0, &status, 1), STATUS_OK);
        EXPECT_EQ(status, 0x00) << "failed read " << read;
    }
}

TEST_F(BridgePackets, WritePacketsHoldAtMost8059Bytes) {
    bytes data(8060);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    bridge_write(0, data.data(), 8059);
    std::vector<bytes> p = packets();
    ASSERT_EQ(p.size(), 1u);
    ASSERT_EQ(p[0].size(), 8192u);
    EXPECT_EQ(p[0][4], 0x7F);
    EXPECT_EQ(p[0][4 + 126 * 64], 0x7F);
    EXPECT_EQ(p[0][4 + 127 * 64], 0x7A);  // the last chunk: 58 bytes
    EXPECT_EQ(p[0][8191], 0x00);
    EXPECT_EQ(p[0][8190], data[8058]);

    cable.clear();
    bridge_write(0, data.data(), 8060);
    p = packets();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].size(), 8192u);
    EXPECT_EQ(p[1], (bytes{0x80, 0x00, 0x1F, 0x7B, 0x41, data[8059], 0x00}));
}

TEST_F(BridgePackets, TenThousandBytesAt0x1000) {
    bytes data(10'000, 0x5A);
    bridge_write(0x1000, data.data(), 10'000);
    const std::vector<bytes> p = packets();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0].size(), 8192u);
    EXPECT_EQ(bytes(p[0].begin(), p[0].begin() + 4), (bytes{0x80, 0x00, 0x10, 0x00}));
    ASSERT_EQ(p[1].size(), 1977u);  // 30 chunks of 63, one of 51
    EXPECT_EQ(bytes(p[1].begin(), p[1].begin() + 4), (bytes{0x80, 0x00, 0x2F, 0x7B}));
    EXPECT_EQ(p[1][4 + 30 * 64], 0x40 + 51);
}

// Read packets: at most 8,190 fillers, and none past the address window.
TEST_F(BridgePackets, ReadsStopAtTheAddressWindowAndThePacketLimit) {
    struct Case {
        std::uint32_t address, length;
        std::vector<std::pair<std::uint32_t, std::size_t>> packets;  // address, fillers
    };
    for (const Case& x :
         {Case{0xFFF8, 16, {{0xFFF8, 8}, {0x10000, 8}}}, Case{0, 8191, {{0, 8190}, {8190, 1}}}}) {
        cable.clear();
        bytes buffer(x.length);
        EXPECT_EQ(bridge_read(x.address, buffer.data(), x.length), STATUS_OK);
        const std::vector<bytes> p = packets();
        ASSERT_EQ(p.size(), x.packets.size()) << x.length;
        for (std::size_t i = 0; i < p.size(); ++i) {
            const auto [a, fillers] = x.packets[i];
            bytes want{static_cast<std::uint8_t>(0x80 | (a >> 24)),
                       static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                       static_cast<std::uint8_t>(a)};
            want.resize(4 + fillers, 0x21);
            want.resize(want.size() + 2, 0x00);
            EXPECT_EQ(p[i], want) << x.length << " bytes, packet " << i;
        }
    }
}

TEST_F(BridgePackets, AboveTheFirstWindowSegmentsEndAt64KiBBoundaries) {
    struct Case {
        std::uint32_t address, length;
        std::vector<std::uint32_t> firsts;
    };
    for (const Case& x : {Case{0x10000, 3, {0x10000}}, Case{0x1FFFE, 4, {0x1FFFE, 0x20000}},
                          Case{0x7FFFFFFF, 2, {0x7FFFFFFF, 0x80000000}}}) {
        cable.clear();
        bytes data(x.length, 1);
        bridge_write(x.address, data.data(), x.length);
        const std::vector<bytes> p = packets();
        ASSERT_EQ(p.size(), x.firsts.size()) << std::hex << x.address;
        for (std::size_t i = 0; i < p.size(); ++i) {
            const std::uint32_t a = x.firsts[i];
            EXPECT_EQ(bytes(p[i].begin(), p[i].begin() + 4),
                      (bytes{static_cast<std::uint8_t>((a >> 24) | 0x80),
                             static_cast<std::uint8_t>(a >> 16), static_cast<std::uint8_t>(a >> 8),
                             static_cast<std::uint8_t>(a)}));
        }
    }
}

TEST_F(BridgePackets, BitThirtyOneIsNotCarried) {
    const std::uint8_t b = 9;
    bridge_write(0x92345678, &b, 1);
    bridge_write(0x12345678, &b, 1);
    const std::vector<bytes> p = packets();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(p[0], p[1]);
    EXPECT_EQ(p[0][0], 0x92);
}

TEST_F(BridgePackets, NothingToMoveSendsNothing) {
    EXPECT_EQ(bridge_write(0, nullptr, 0), STATUS_OK);
    EXPECT_EQ(bridge_read(0, nullptr, 0), STATUS_OK);
    EXPECT_TRUE(cable.calls.empty());
}

TEST_F(BridgePackets, VerifyComparesWithoutChangingTheCallersBytes) {
    // The chain answers 0xFF everywhere: byte 2 of the expected data differs.
    cable.tdo_level = [](std::uint64_t) { return true; };
    bytes expected{0xFF, 0xFF, 0x00, 0xFF};
    platform::ConsoleCapture console;
    EXPECT_EQ(bridge_transfer(BRIDGE_VERIFY, 0x100, expected.data(), 4), 1u);
    EXPECT_EQ(console.text(), "Verify error 00000102\n");
    EXPECT_EQ(expected, (bytes{0xFF, 0xFF, 0x00, 0xFF}));
    console.clear();
    bytes same(4, 0xFF);
    EXPECT_EQ(bridge_transfer(BRIDGE_VERIFY, 0x100, same.data(), 4), STATUS_OK);
    EXPECT_EQ(console.text(), "");
}

std::atomic<bool> job_may_end{false};
status_t job_that_fails() {
    while (!job_may_end.load()) {
        std::this_thread::yield();
    }
    return STATUS_FILE_ERROR;
}

// The first packet collects an earlier background result and is refused; the rest still go.
TEST_F(BridgePackets, FailedPacketsDoNotStopTheTransferAndTheirStatusIsKept) {
    std::uint32_t on_worker = jtag::LENGTH_BACKGROUND;
    job_may_end.store(false);
    ASSERT_EQ(jtag::background_run(jtag::BG_STARTED, &on_worker, {nullptr, job_that_fails}),
              STATUS_BUSY);
    job_may_end.store(true);
    while (jtag::background_state() != jtag::BG_DONE) {
        std::this_thread::yield();
    }
    bytes data(9000, 1);
    EXPECT_EQ(bridge_write(0, data.data(), 9000), STATUS_FILE_ERROR);
    const std::vector<bytes> p = packets();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(bytes(p[0].begin(), p[0].begin() + 4), (bytes{0x80, 0x00, 0x1F, 0x7B}));
    EXPECT_EQ(p[0].size(), 961u) << "the last 941 bytes: 14 chunks of 63, one of 59";

    cable::cable_close();
    std::uint8_t b = 0;
    EXPECT_EQ(bridge_read(0, &b, 1), STATUS_NO_CABLE);
}

}  // namespace
}  // namespace oscset::bridge
