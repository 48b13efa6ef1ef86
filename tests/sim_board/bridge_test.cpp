#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "tests/sim_board/jtag_driver.hpp"

namespace oscset::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::ALONE;
using testing::ChainRow;
using testing::ChainTarget;
using testing::TestJtag;

BoardConfig running(std::vector<std::string> chain = {"2s100"}) {
    BoardConfig config;
    config.chain = std::move(chain);
    config.fpga_configured = true;
    return config;
}

// USER1 of the FPGA at `target`, the other devices in BYPASS, one scan opened with its
// start bit; bytes go in and come back most significant bit first. Replies are realigned
// by the bypass bits of the whole chain, like a host would.
class User1Scan {
  public:
    User1Scan(Board& board, ChainTarget chain) : jtag_(board), chain_(std::move(chain)) {}

    void open() {
        jtag_.reset_to_idle();
        jtag_.load_ir(chain_.ir_bits(2), chain_.total_ir());
        jtag_.to_shift_dr();
        jtag_.clock(false, true);  // the start bit
    }
    // Bytes in the open scan; the reply aligned to the first byte sent.
    Bytes transfer(const Bytes& bytes) {
        const std::size_t extra = chain_.tdi_side() + chain_.tdo_side();
        Bytes out(bytes.size(), 0);
        std::vector<bool> bits;
        for (std::uint8_t b : bytes) {
            for (int k = 7; k >= 0; --k) {
                bits.push_back((b >> k) & 1);
            }
        }
        bits.insert(bits.end(), extra, false);
        const std::vector<bool> back = jtag_.shift(bits, false);
        for (std::size_t i = 0; i < bytes.size() * 8; ++i) {
            if (back[i + extra]) {
                out[i / 8] = static_cast<std::uint8_t>(out[i / 8] | (0x80 >> (i % 8)));
            }
        }
        return out;
    }
    // Leaves Shift-DR through Update-DR into Run-Test/Idle.
    void close() {
        jtag_.clock(true);
        jtag_.update_to_idle();
    }

  private:
    TestJtag jtag_;
    ChainTarget chain_;
};

std::vector<std::string> bus_lines(const Board& board) {
    std::vector<std::string> v;
    for (const auto& line : board.events()) {
        if (line.rfind("bus ", 0) == 0) {
            v.push_back(line);
        }
    }
    return v;
}

TEST(Bridge, WritePacketPutsEightBytesAtZero) {
    Board board(running());
    User1Scan scan(board, ALONE);
    scan.open();
    const Bytes reply = scan.transfer({0x80, 0, 0, 0, 0x48, 0, 1, 2, 3, 4, 5, 6, 7, 0});
    EXPECT_EQ(reply, Bytes(14, 0));  // a write gets no answer
    EXPECT_EQ(bus_lines(board),
              (std::vector<std::string>{"bus write 0x00000000 00 01 02 03 04 05 06 07"}));
    const auto& record = board.fpga(0)->synthesiser().record();
    EXPECT_EQ(Bytes(record.begin(), record.end()), (Bytes{0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST(Bridge, ReadPacketAnswersInReplyByteSix) {
    Board board(running());
    User1Scan scan(board, ALONE);
    scan.open();
    const Bytes reply = scan.transfer({0x80, 0, 0, 0, 0x21, 0, 0});
    EXPECT_EQ(reply, (Bytes{0, 0, 0, 0, 0, 0, 1}));  // status 1: nothing programmed yet
    EXPECT_EQ(bus_lines(board), (std::vector<std::string>{"bus read 0x00000000 01"}));
}

struct PacketRow {
    const char* name;
    Bytes sent;
    Bytes reply;
    std::vector<std::string> lines;
};

class BridgePackets : public ::testing::TestWithParam<PacketRow> {};

// Each row runs in one open scan after a write of 0x10..0x17 to 0x100..0x107.
TEST_P(BridgePackets, ParseAndReply) {
    const PacketRow& row = GetParam();
    Board board(running());
    User1Scan scan(board, ALONE);
    scan.open();
    scan.transfer({0x80, 0, 1, 0, 0x48, 0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0});
    board.clear_events();
    EXPECT_EQ(scan.transfer(row.sent), row.reply);
    EXPECT_EQ(bus_lines(board), row.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Packets, BridgePackets,
    ::testing::Values(PacketRow{"read four",
                                {0x80, 0, 1, 2, 0x21, 0x21, 0x21, 0x21, 0, 0},
                                {0, 0, 0, 0, 0, 0, 0x12, 0x13, 0x14, 0x15},
                                {"bus read 0x00000102 12 13 14 15"}},
                      PacketRow{"idle zeros between packets",
                                {0, 0, 0, 0x80, 0, 1, 0, 0x21, 0, 0, 0, 0x80, 0, 1, 7, 0x21, 0, 0},
                                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x17},
                                {"bus read 0x00000100 10", "bus read 0x00000107 17"}},
                      PacketRow{"write in chunks, then read back",
                                {0x80, 0, 2, 0, 0x41, 0xAA, 0x42, 0xBB, 0xCC, 0, 0x80, 0, 2, 0,
                                 0x21, 0x21, 0x21, 0, 0},
                                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC},
                                {"bus write 0x00000200 aa bb cc", "bus read 0x00000200 aa bb cc"}},
                      PacketRow{"address bit 31 is not carried: unmapped reads 0xff",
                                {0xFF, 0, 0, 0, 0x21, 0, 0},
                                {0, 0, 0, 0, 0, 0, 0xFF},
                                {"bus read 0x7f000000 ff"}},
                      PacketRow{"a read across the end of the RAM",
                                {0x80, 0, 0xFF, 0xFE, 0x21, 0x21, 0x21, 0x21, 0, 0},
                                {0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF},
                                {"bus read 0x0000fffe 00 00 ff ff"}},
                      PacketRow{"a header with no chunk is an empty packet",
                                {0x80, 0, 1, 0, 0, 0x80, 0, 1, 1, 0x21, 0, 0},
                                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11},
                                {"bus read 0x00000101 11"}},
                      PacketRow{"stray bytes outside a packet are ignored",
                                {0x21, 0x41, 0x7F, 0x80, 0, 1, 3, 0x21, 0, 0},
                                {0, 0, 0, 0, 0, 0, 0, 0, 0, 0x13},
                                {"bus read 0x00000103 13"}}),
    [](const auto& info) {
        std::string n = info.param.name;
        std::replace_if(
            n.begin(), n.end(), [](char c) { return !std::isalnum(c); }, '_');
        return n;
    });

TEST(Bridge, TwoTransfersInOneOpenScanKeepByteAlignment) {
    Board board(running());
    User1Scan scan(board, ALONE);
    scan.open();
    scan.transfer({0x80, 0, 0, 0, 0x48, 0x27, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    const Bytes reply = scan.transfer({0x80, 0, 0, 0, 0x21, 0, 0});
    EXPECT_EQ(reply[6], 3);
    scan.close();
    EXPECT_EQ(bus_lines(board),
              (std::vector<std::string>{"bus write 0x00000000 27 00 28 00 00 00 00 01",
                                        "bus read 0x00000000 03"}));
}

TEST(Bridge, ANewScanNeedsANewStartBit) {
    Board board(running());
    User1Scan scan(board, ALONE);
    scan.open();
    scan.transfer({0x80, 0, 1, 0, 0x41, 0x5A, 0});
    scan.close();
    // Capture-DR again, but no start bit: the header's own first 1 is taken as one, and
    // what follows is out of step.
    TestJtag jtag(board);
    jtag.to_shift_dr();
    const Bytes packet{0x80, 0, 1, 0, 0x21, 0, 0};
    jtag.shift_bytes(packet, false);
    EXPECT_EQ(bus_lines(board), (std::vector<std::string>{"bus write 0x00000100 5a"}));
}

TEST(Bridge, AScanThatEndsInsideAPacketLogsWhatWasWritten) {
    Board board(running());
    User1Scan scan(board, ALONE);
    scan.open();
    scan.transfer({0x80, 0, 1, 0, 0x44, 1, 2});
    EXPECT_TRUE(bus_lines(board).empty());
    scan.close();
    TestJtag(board).reset_to_idle();
    EXPECT_EQ(bus_lines(board),
              (std::vector<std::string>{"bus write 0x00000100 01 02 (unterminated)"}));
}

class BridgeBehindBypass : public ::testing::TestWithParam<ChainRow> {};

TEST_P(BridgeBehindBypass, StartBitAndReplyThroughTheOtherDevices) {
    const ChainRow& row = GetParam();
    Board board(running(row.chain));
    User1Scan scan(board, chain_target(row));
    scan.open();
    scan.transfer({0x80, 0, 0x40, 0, 0x42, 0xC3, 0x3C, 0});
    scan.close();
    scan.open();
    const Bytes reply = scan.transfer({0x80, 0, 0x40, 0, 0x21, 0x21, 0, 0});
    EXPECT_EQ(reply, (Bytes{0, 0, 0, 0, 0, 0, 0xC3, 0x3C}));
    EXPECT_EQ(bus_lines(board), (std::vector<std::string>{"bus write 0x00004000 c3 3c",
                                                          "bus read 0x00004000 c3 3c"}));
}

INSTANTIATE_TEST_SUITE_P(Chains, BridgeBehindBypass,
                         ::testing::Values(ChainRow{{"2s100", "xcf01s"}, 0},  // one TDI-side device
                                           ChainRow{{"2s100", "xcf01s", "18v256", "3s200"}, 0},
                                           ChainRow{{"xcf01s", "xcf02s", "2s100"},
                                                    2},  // TDO side only
                                           ChainRow{{"xcf01s", "2s100", "18v256"}, 1}));

TEST(Bridge, UnconfiguredFpgaAnswersNothingAndTakesNothing) {
    BoardConfig config;
    Board board(config);
    User1Scan scan(board, ALONE);
    scan.open();
    scan.transfer({0x80, 0, 1, 0, 0x41, 0x5A, 0});
    const Bytes reply = scan.transfer({0x80, 0, 1, 0, 0x21, 0, 0});
    EXPECT_EQ(reply, Bytes(7, 0));
    EXPECT_TRUE(bus_lines(board).empty());
}

TEST(Bridge, OtherFpgasOnTheChainStayInBypass) {
    Board board(running({"2s100", "2s50"}));
    User1Scan scan(board, ChainTarget{{5, 5}, 1});
    scan.open();
    scan.transfer({0x80, 0, 0, 0, 0x48, 0x27, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});
    scan.close();
    EXPECT_EQ(board.fpga(1)->synthesiser().record()[0], 0x27);
    EXPECT_EQ(board.fpga(0)->synthesiser().record()[0], 0x00);
}

}  // namespace
}  // namespace oscset::sim
