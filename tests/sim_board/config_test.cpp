#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/config_crc.hpp"
#include "tests/sim_board/jtag_driver.hpp"
#include "tests/sim_board/streams.hpp"

namespace oscset::sim {
namespace {

using testing::build_stream_words;
using testing::ALONE;
using testing::ChainRow;
using testing::ChainTarget;
using testing::StreamForm;
using testing::TargetJtag;
using testing::to_bytes;

constexpr std::uint32_t COR_TCK = 0x00A03F2D;
constexpr std::uint32_t COR_CCLK = 0x00803F2D;
// A blank FPGA's STAT: INIT high, GWE_B high (writes disabled), nothing released.
constexpr std::uint32_t STAT_BLANK = 0x2080;
// Configured and running: DONE, INIT, GHIGH_B, GSR_B, GTS_CFG.
constexpr std::uint32_t STAT_RUNNING = 0x6340;

bool has_event(const Board& board, const std::string& text) {
    return std::any_of(board.events().begin(), board.events().end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    });
}

BoardConfig board_of(const char* part, bool configured = false) {
    BoardConfig config;
    config.chain = {part};
    config.fpga_configured = configured;
    return config;
}

struct CrcRow {
    std::uint32_t address;
    std::uint32_t data;
    std::uint16_t before;
    std::uint16_t after;
};

class CrcVectors : public ::testing::TestWithParam<CrcRow> {};

TEST_P(CrcVectors, MatchTheDocumentedSteps) {
    const CrcRow& r = GetParam();
    EXPECT_EQ(config_crc_update(r.before, r.address, r.data), r.after);
    EXPECT_EQ(testing::reference_crc(r.before, r.address, r.data), r.after);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CrcVectors,
    ::testing::Values(CrcRow{11, 0x0000000D, 0x0000, 0x66C0}, CrcRow{9, 0x00A03F2D, 0x66C0, 0xF7F8},
                      CrcRow{6, 0x00000000, 0xF7F8, 0x2128}, CrcRow{4, 0x00000009, 0x2128, 0x8B64},
                      CrcRow{1, 0x00000000, 0x8B64, 0x89A7}, CrcRow{4, 0x00000001, 0x89A7, 0xE22E},
                      CrcRow{4, 0x00000005, 0x0000, 0xFCC1}, CrcRow{2, 0x00000001, 0x0000, 0x1BC0},
                      CrcRow{2, 0x80000000, 0x0000, 0x1E00}));

TEST(CrcVectors, TableAndBitwiseFormsAgreeOnManyWords) {
    std::uint16_t a = 0;
    std::uint16_t b = 0;
    std::uint32_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
        x = x * 1103515245u + 12345u;
        a = config_crc_update(a, x >> 28, x);
        b = testing::reference_crc(b, x >> 28, x);
        ASSERT_EQ(a, b) << "word " << i;
    }
}

// Real vendor streams: accepted with every CRC check, and a copy with one bit flipped in
// the frame data or in the last words (after START) rejected.
struct RealStreamRow {
    const char* file;
    const char* part;
    unsigned crc_checks;
};

class RealStreams : public ::testing::TestWithParam<RealStreamRow> {};

TEST_P(RealStreams, AcceptedWithEveryCrcCheck) {
    const RealStreamRow& row = GetParam();
    const auto stream = testing::read_bit_file_stream(testing::testdata_path(row.file));
    ASSERT_FALSE(stream.empty()) << "cannot read " << row.file;
    Board board(board_of(row.part));
    TargetJtag jtag(board, ALONE);
    jtag.configure(stream);
    const Fpga& fpga = *board.fpga(0);
    EXPECT_FALSE(fpga.crc_error());
    EXPECT_TRUE(fpga.done());
    EXPECT_TRUE(fpga.configured());
    EXPECT_EQ(fpga.config().crc_checks(), row.crc_checks);
    EXPECT_EQ(jtag.read_status(), STAT_RUNNING);
    EXPECT_TRUE(has_event(board, "fpga 0 configuration finished crc ok done 1"));
}

TEST_P(RealStreams, OneFlippedBitIsRejected) {
    const RealStreamRow& row = GetParam();
    const auto stream = testing::read_bit_file_stream(testing::testdata_path(row.file));
    ASSERT_FALSE(stream.empty());
    // Positions: deep in the frame data, and the CTL word after START (so the start-up
    // must wait for the final check).
    std::size_t ctl = 0;
    for (std::size_t w = 0; w + 1 < stream.size() / 4; ++w) {
        if (testing::word_at(stream, w) == 0x3000A001) {
            ctl = (w + 1) * 4;
        }
    }
    ASSERT_NE(ctl, 0u);
    for (std::size_t position : {stream.size() / 2, ctl + 3}) {
        auto bad = stream;
        bad[position] ^= 0x10;
        Board board(board_of(row.part));
        TargetJtag jtag(board, ALONE);
        jtag.configure(bad);
        EXPECT_TRUE(board.fpga(0)->crc_error()) << "byte " << position;
        EXPECT_FALSE(board.fpga(0)->done());
        EXPECT_FALSE(board.fpga(0)->configured());
        const std::uint32_t stat = jtag.read_status();
        EXPECT_EQ(stat & 0x4001, 0x0001u);
        EXPECT_TRUE(has_event(board, "fpga 0 configuration finished crc error done 0"));
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RealStreams,
                         ::testing::Values(RealStreamRow{"xcv50-reference.bit", "v50", 2},
                                           RealStreamRow{"xcv50e-reference.bit", "v50e", 2},
                                           RealStreamRow{"xcv100-debug.bit", "v100", 1740},
                                           RealStreamRow{"xcv50-debug.bit", "v50", 1452}));

std::uint32_t scrambled(std::uint32_t k) {
    return k * 2654435761u ^ (k >> 3);
}

struct GeneratedRow {
    const char* part;
    std::size_t bytes;
};

class GeneratedStreams : public ::testing::TestWithParam<GeneratedRow> {};

TEST_P(GeneratedStreams, EverySpartan2SizeConfigures) {
    const GeneratedRow& row = GetParam();
    StreamForm form = testing::spartan2_form(row.part);
    form.frame_word = scrambled;
    const auto stream = to_bytes(build_stream_words(form));
    EXPECT_EQ(stream.size(), row.bytes);
    Board board(board_of(row.part));
    TargetJtag jtag(board, ALONE);
    jtag.configure(stream);
    EXPECT_TRUE(board.fpga(0)->configured()) << board.events().back();
    EXPECT_EQ(jtag.read_status(), STAT_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GeneratedStreams,
                         ::testing::Values(GeneratedRow{"2s15", 24712}, GeneratedRow{"2s30", 42096},
                                           GeneratedRow{"2s50", 69900},
                                           GeneratedRow{"2s100", 97652},
                                           GeneratedRow{"2s150", 130012},
                                           GeneratedRow{"2s200", 166980}));

TEST(GeneratedStreams, TheProgramsImageFormCarriesTheDocumentedCrcWords) {
    for (auto [cor, crc1] : {std::pair{COR_CCLK, 0xC1EAu}, std::pair{COR_TCK, 0xF92Cu}}) {
        StreamForm form;
        form.cor = cor;
        const auto words = build_stream_words(form);
        ASSERT_EQ(words.size(), 24413u);
        EXPECT_EQ(words[24385], crc1);
        EXPECT_EQ(words[24408], 0x6B97u);
    }
}

TEST(GeneratedStreams, AnImageForALargerPartDoesNotMakeADesign) {
    const auto stream = to_bytes(build_stream_words(testing::spartan2_form("2s100")));
    Board board(board_of("2s50"));
    TargetJtag jtag(board, ALONE);
    jtag.configure(stream);
    EXPECT_TRUE(board.fpga(0)->done());  // the start-up does not look at the frames
    EXPECT_FALSE(board.fpga(0)->configured());
    EXPECT_TRUE(has_event(board, "design incomplete"));
}

TEST(GeneratedStreams, ATruncatedStreamNeverStarts) {
    auto stream = to_bytes(build_stream_words(testing::spartan2_form("2s100")));
    stream.resize(stream.size() - 4096);
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    jtag.configure(stream);
    EXPECT_FALSE(board.fpga(0)->done());
    EXPECT_EQ(jtag.read_status() & 0x4001, 0u);
}

TEST(StartUp, TckStartUpRaisesDoneOnTheFourthJstartClock) {
    StreamForm form;
    form.cor = COR_TCK;
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    jtag.jtag().reset_to_idle();
    jtag.cfg_in_write(to_bytes(build_stream_words(form)));
    const Fpga& fpga = *board.fpga(0);
    EXPECT_FALSE(fpga.done());
    // Clocks in Run-Test/Idle under another instruction do nothing.
    jtag.load_ir(31);
    for (int i = 0; i < 20; ++i) {
        jtag.jtag().clock(false);
    }
    EXPECT_FALSE(fpga.done());
    jtag.load_ir(12);
    std::vector<int> done_after;
    for (int clock = 1; clock <= 8; ++clock) {
        jtag.jtag().clock(false);  // one rising edge in Run-Test/Idle with JSTART
        done_after.push_back(fpga.done() ? 1 : 0);
        if (clock == 5) {
            EXPECT_FALSE(fpga.configured());  // DONE is out, GWE not yet released
        }
    }
    EXPECT_EQ(done_after, (std::vector<int>{0, 0, 0, 1, 1, 1, 1, 1}));
    EXPECT_TRUE(fpga.configured());
}

TEST(StartUp, JstartClocksInShiftDrCountToo) {
    StreamForm form;
    form.cor = COR_TCK;
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    jtag.configure(to_bytes(build_stream_words(form)));
    EXPECT_TRUE(board.fpga(0)->configured());
    EXPECT_EQ(jtag.read_status(), STAT_RUNNING);
}

TEST(StartUp, CclkStartUpCompletesWhenTheScanEnds) {
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    jtag.jtag().reset_to_idle();
    jtag.load_ir(5);
    jtag.jtag().to_shift_dr();
    jtag.jtag().shift_bytes(to_bytes(build_stream_words(StreamForm{})), false);
    EXPECT_FALSE(board.fpga(0)->done());  // still in the scan
    jtag.jtag().clock(true);              // Exit1-DR: the scan may still go on via Pause-DR
    EXPECT_FALSE(board.fpga(0)->done());
    jtag.jtag().clock(true);  // Update-DR
    EXPECT_TRUE(board.fpga(0)->done());
    EXPECT_TRUE(board.fpga(0)->configured());
}

TEST(StatusRead, ThirtyThreeBitsPadFirst) {
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    // Before synchronisation CFG_OUT shifts zeros.
    EXPECT_EQ(jtag.read_status_bits(), 0u);
    jtag.configure(to_bytes(build_stream_words(StreamForm{})));
    const std::uint64_t bits = jtag.read_status_bits();
    EXPECT_EQ(bits >> 32, 0u) << "the pad bit";
    EXPECT_EQ(bits, std::uint64_t{STAT_RUNNING});
    // Without a read packet CFG_OUT has nothing to give.
    jtag.jtag().reset_to_idle();
    jtag.load_ir(4);
    EXPECT_EQ(jtag.jtag().scan_dr(0, 33), 0u);
}

TEST(StatusRead, IrCaptureShowsDone) {
    Board board(board_of("2s100"));
    testing::TestJtag jtag(board);
    jtag.reset_to_idle();
    jtag.to_shift_ir();
    EXPECT_EQ(jtag.shift_value(0x1F, 5, true), 0x19u);
    Board configured(board_of("2s100", true));
    testing::TestJtag jtag2(configured);
    jtag2.reset_to_idle();
    jtag2.to_shift_ir();
    EXPECT_EQ(jtag2.shift_value(0x1F, 5, true), 0x1Du);
}

TEST(WordAlignment, WordsCountFromCaptureDr) {
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    jtag.jtag().reset_to_idle();
    // The sync word, then 8 stray bits: the tail of a scan that is not whole words.
    const std::uint8_t sync_and_tail[] = {0xAA, 0x99, 0x55, 0x66, 0xFF};
    jtag.cfg_in_write(sync_and_tail);
    EXPECT_TRUE(board.fpga(0)->config().synchronised());
    // A new scan starts a new word: the status request is taken whole.
    EXPECT_EQ(jtag.read_status(), STAT_BLANK);
}

TEST(WordAlignment, ASyncWordOffTheWordBoundaryIsNotFound) {
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    jtag.jtag().reset_to_idle();
    const std::uint8_t shifted_sync[] = {0x0A, 0xA9, 0x95, 0x56, 0x60, 0, 0, 0};
    jtag.cfg_in_write(shifted_sync);
    EXPECT_FALSE(board.fpga(0)->config().synchronised());
    EXPECT_EQ(jtag.read_status_bits(), 0u);
}

class ConfigureBehindBypass : public ::testing::TestWithParam<ChainRow> {};

TEST_P(ConfigureBehindBypass, TheLeadBitsMakeOneZeroWord) {
    const ChainRow& row = GetParam();
    BoardConfig config;
    config.chain = row.chain;
    Board board(config);
    TargetJtag jtag(board, chain_target(row));
    jtag.configure(to_bytes(build_stream_words(StreamForm{})));
    EXPECT_TRUE(board.fpga(row.target)->configured());
    EXPECT_EQ(jtag.read_status(), STAT_RUNNING);
}

INSTANTIATE_TEST_SUITE_P(Chains, ConfigureBehindBypass,
                         ::testing::Values(ChainRow{{"2s100", "xcf01s"}, 0},
                                           ChainRow{{"xcf01s", "18v256", "2s100"}, 2},
                                           ChainRow{{"xcf01s", "2s100", "3s200", "xcf02s"}, 1}));

TEST(WordAlignment, WithoutTheLeadBitsABypassDeviceShiftsTheStreamOffItsWords) {
    BoardConfig config;
    config.chain = {"2s100", "xcf01s"};
    Board board(config);
    TargetJtag jtag(board, ChainTarget{{5, 8}, 0});
    jtag.jtag().reset_to_idle();
    jtag.load_ir(5);
    jtag.jtag().to_shift_dr();
    jtag.jtag().shift_bytes(to_bytes(build_stream_words(StreamForm{})), false);
    jtag.jtag().shift_zeros(1, true);
    jtag.jtag().update_to_idle();
    EXPECT_FALSE(board.fpga(0)->config().synchronised());
    EXPECT_FALSE(board.fpga(0)->done());
}

// The host's reconfiguration of a running FPGA.
const std::uint32_t SHUTDOWN_SEQUENCE[] = {0x30008001, 0x00000009, 0x30012001,
                                           0x00A0BF2D, 0x30008001, 0x00000005,
                                           0x30008001, 0x00000007, 0x00000000};
const std::uint32_t AGHIGH_SEQUENCE[] = {0x30008001, 0x00000008, 0x30012001, 0x00A03F2D,
                                         0x00000000};

TEST(Shutdown, ReconfiguringWithTheShutdownWorks) {
    Board board(board_of("2s100", true));
    TargetJtag jtag(board, ALONE);
    EXPECT_EQ(jtag.read_status(), STAT_RUNNING);  // synchronised from the earlier run
    jtag.jtag().reset_to_idle();
    jtag.cfg_in_words(SHUTDOWN_SEQUENCE);
    EXPECT_TRUE(board.fpga(0)->done());  // the shutdown waits for its clocks
    jtag.jstart(16);
    EXPECT_TRUE(board.fpga(0)->shutdown_happened());
    EXPECT_FALSE(board.fpga(0)->done());
    jtag.cfg_in_words(AGHIGH_SEQUENCE);
    EXPECT_EQ(jtag.read_status() & 0x4200, 0u);  // DONE low, GHIGH asserted
    jtag.configure(to_bytes(build_stream_words(StreamForm{})));
    EXPECT_TRUE(board.fpga(0)->configured());
    EXPECT_FALSE(board.fpga(0)->config().in_error());
    EXPECT_EQ(jtag.read_status(), STAT_RUNNING);
    const auto& ev = board.events();
    const auto shutdown = std::find(ev.begin(), ev.end(), "fpga 0 shutdown");
    ASSERT_NE(shutdown, ev.end());
    EXPECT_NE(std::find(shutdown, ev.end(), "fpga 0 configuration finished crc ok done 1"),
              ev.end());
}

TEST(Shutdown, ReconfiguringWithoutItLeavesTheStreamUnloaded) {
    Board board(board_of("2s100", true));
    TargetJtag jtag(board, ALONE);
    jtag.configure(to_bytes(build_stream_words(StreamForm{})));
    const Fpga& fpga = *board.fpga(0);
    EXPECT_FALSE(fpga.shutdown_happened());
    EXPECT_TRUE(fpga.config().in_error());
    EXPECT_EQ(fpga.config().frame_words(), 24332u) << "the old design's frames, untouched";
    EXPECT_EQ(jtag.read_status(), STAT_RUNNING | 0x20);  // IN_ERROR
    EXPECT_TRUE(has_event(board, "frame data refused"));
    EXPECT_FALSE(has_event(board, "configuration finished"));
}

TEST(Shutdown, WithoutItsJstartClocksTheShutdownComesTooLate) {
    Board board(board_of("2s100", true));
    TargetJtag jtag(board, ALONE);
    jtag.jtag().reset_to_idle();
    jtag.cfg_in_words(SHUTDOWN_SEQUENCE);
    jtag.cfg_in_words(AGHIGH_SEQUENCE);
    jtag.jtag().reset_to_idle();
    jtag.cfg_in_write(to_bytes(build_stream_words(StreamForm{})));
    EXPECT_FALSE(board.fpga(0)->shutdown_happened());
    EXPECT_TRUE(board.fpga(0)->config().in_error());
    // The stream's JSTART clocks now finish the shutdown, not a start-up.
    jtag.jstart(16);
    EXPECT_TRUE(board.fpga(0)->shutdown_happened());
    EXPECT_FALSE(board.fpga(0)->done());
    EXPECT_FALSE(board.fpga(0)->configured());
    EXPECT_EQ(jtag.read_status() & 0x4021, 0x0020u);  // IN_ERROR stays until power-up
}

TEST(CrcError, StaysUntilPowerCycle) {
    auto good = to_bytes(build_stream_words(StreamForm{}));
    auto bad = good;
    bad[50000] ^= 1;
    Board board(board_of("2s100"));
    TargetJtag jtag(board, ALONE);
    jtag.configure(bad);
    EXPECT_TRUE(board.fpga(0)->crc_error());
    jtag.configure(good);
    EXPECT_FALSE(board.fpga(0)->done());
    EXPECT_EQ(jtag.read_status() & 1, 1u);
    board.set_target_power(false);
    board.set_target_power(true);
    EXPECT_FALSE(board.fpga(0)->crc_error());
    jtag.configure(good);
    EXPECT_TRUE(board.fpga(0)->configured());
}

}  // namespace
}  // namespace oscset::sim
