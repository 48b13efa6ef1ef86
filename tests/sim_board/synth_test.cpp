#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "sim/board/board.hpp"
#include "sim/board/synthesiser.hpp"
#include "tests/sim_board/jtag_driver.hpp"

namespace oscset::sim {
namespace {

using Record = std::array<std::uint8_t, 8>;

struct RecordRow {
    Record record;
    std::uint32_t div_a, div_b, post_div;
    std::uint8_t mode;
    double hz;
};

class SynthRecords : public ::testing::TestWithParam<RecordRow> {};

TEST_P(SynthRecords, DecodeToTheFrequencyTheyDescribe) {
    const RecordRow& r = GetParam();
    const SynthSettings s = decode_synth_record(r.record);
    EXPECT_TRUE(s.valid);
    EXPECT_EQ(s.div_a, r.div_a);
    EXPECT_EQ(s.div_b, r.div_b);
    EXPECT_EQ(s.post_div, r.post_div);
    EXPECT_EQ(s.mode, r.mode);
    EXPECT_NEAR(s.frequency_hz, r.hz, r.hz * 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    ControlRecords, SynthRecords,
    ::testing::Values(
        RecordRow{{0x17, 0x00, 0x27, 0x00, 0x01, 0x00, 0x00, 0x01}, 24, 40, 4, 1, 10e6},
        RecordRow{{0x17, 0x00, 0x1D, 0x00, 0xBF, 0xE1, 0xE4, 0x01}, 24, 30, 30000000, 1, 1.0},
        RecordRow{{0x27, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01}, 40, 41, 2, 1, 12.3e6},
        RecordRow{{0x9A, 0x02, 0x41, 0x03, 0x94, 0x05, 0x00, 0x01},
                  667,
                  834,
                  2858,
                  1,
                  24e6 / 667 * 834 / 2858},
        RecordRow{{0x17, 0x00, 0x41, 0x00, 0xFF, 0xFF, 0xFF, 0x00}, 24, 66, 0, 0, 66e6},
        RecordRow{{0x17, 0x00, 0x59, 0x00, 0xFF, 0xFF, 0xFF, 0x02}, 24, 90, 0, 2, 180e6}));

class SynthOutOfRange : public ::testing::TestWithParam<Record> {};

TEST_P(SynthOutOfRange, IsNotValid) {
    EXPECT_FALSE(decode_synth_record(GetParam()).valid);
}

INSTANTIATE_TEST_SUITE_P(
    Records, SynthOutOfRange,
    ::testing::Values(Record{0x16, 0x00, 0x27, 0x00, 0x01, 0x00, 0x00, 0x01},    // div_a 23
                      Record{0xE7, 0x03, 0x27, 0x00, 0x01, 0x00, 0x00, 0x01},    // div_a 1000
                      Record{0x17, 0x00, 0xFF, 0x3F, 0x01, 0x00, 0x00, 0x01},    // div_b 16384
                      Record{0x17, 0x00, 0x27, 0x00, 0xC0, 0xE1, 0xE4, 0x01},    // 30,000,002
                      Record{0x17, 0x00, 0x27, 0x00, 0x01, 0x00, 0x00, 0x03},    // mode 3
                      Record{0x17, 0x00, 0x27, 0x00, 0xFF, 0xFF, 0xFF, 0x01},    // mode 1, none
                      Record{0x17, 0x00, 0x27, 0x00, 0x01, 0x00, 0x00, 0x00},    // mode 0, /4
                      Record{0x17, 0x00, 0x27, 0x00, 0x01, 0x00, 0x00, 0x02}));  // mode 2, /4

TEST(SynthRecords, BoundsAreInside) {
    EXPECT_TRUE(decode_synth_record({0x17, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00}).valid);
    EXPECT_TRUE(decode_synth_record({0xE6, 0x03, 0xFE, 0x3F, 0xFF, 0xFF, 0xFF, 0x00}).valid);
}

// Writes a record through the bridge, then reads the status byte `reads` times in the same
// open scan, the way the program polls for lock.
std::vector<int> program_and_poll(Board& board, const Record& record, int reads) {
    testing::TestJtag jtag(board);
    jtag.reset_to_idle();
    jtag.load_ir(2, 5);
    jtag.to_shift_dr();
    jtag.clock(false, true);
    std::vector<std::uint8_t> write{0x80, 0, 0, 0, 0x48};
    write.insert(write.end(), record.begin(), record.end());
    write.push_back(0);
    jtag.shift_bytes(write, false);
    std::vector<int> status;
    const std::uint8_t read[] = {0x80, 0, 0, 0, 0x21, 0, 0};
    for (int i = 0; i < reads; ++i) {
        status.push_back(jtag.shift_bytes(read, false)[6]);
    }
    return status;
}

const Record TWELVE_POINT_THREE{0x27, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01};

struct LockRow {
    std::optional<std::uint32_t> lock_after;
    Record record;
    std::vector<int> statuses;
};

class LockRules : public ::testing::TestWithParam<LockRow> {};

TEST_P(LockRules, StatusReadsAfterTheRecord) {
    BoardConfig config;
    config.fpga_configured = true;
    config.lock_after_reads = GetParam().lock_after;
    Board board(config);
    EXPECT_EQ(program_and_poll(board, GetParam().record, 5), GetParam().statuses);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LockRules,
    ::testing::Values(LockRow{1, TWELVE_POINT_THREE, {3, 3, 3, 3, 3}},
                      LockRow{0, TWELVE_POINT_THREE, {3, 3, 3, 3, 3}},
                      LockRow{3, TWELVE_POINT_THREE, {2, 2, 3, 3, 3}},
                      LockRow{std::nullopt, TWELVE_POINT_THREE, {2, 2, 2, 2, 2}},
                      LockRow{1,
                              {0x16, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01},  // div_a 23
                              {1, 1, 1, 1, 1}}));

TEST(LockRules, ANewRecordLocksAnew) {
    BoardConfig config;
    config.fpga_configured = true;
    config.lock_after_reads = 2;
    Board board(config);
    EXPECT_EQ(program_and_poll(board, TWELVE_POINT_THREE, 2), (std::vector<int>{2, 3}));
    EXPECT_EQ(program_and_poll(board, TWELVE_POINT_THREE, 2), (std::vector<int>{2, 3}));
    EXPECT_NEAR(board.fpga(0)->synthesiser().settings().frequency_hz, 12.3e6, 1e-3);
    EXPECT_TRUE(board.fpga(0)->synthesiser().locked());
}

TEST(EventLog, LinesOfAProgrammingRun) {
    std::FILE* mirror = std::tmpfile();
    ASSERT_NE(mirror, nullptr);
    BoardConfig config;
    config.fpga_configured = true;
    config.log_file = mirror;
    Board board(config);
    program_and_poll(board, TWELVE_POINT_THREE, 1);
    const std::vector<std::string> expected{
        "bus write 0x00000000 27 00 28 00 00 00 00 01",
        "synth set 12300000.000 Hz div_a 40 div_b 41 post_div 2 mode 1",
        "synth locked 12300000.000 Hz",
        "bus read 0x00000000 03",
    };
    EXPECT_EQ(board.events(), expected);

    std::rewind(mirror);
    std::string text;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, mirror) != nullptr) {
        text += buffer;
    }
    std::fclose(mirror);
    std::string joined;
    for (const auto& line : expected) {
        joined += line + "\n";
    }
    EXPECT_EQ(text, joined);
}

TEST(EventLog, OutOfRangeRecordsSaySo) {
    BoardConfig config;
    config.fpga_configured = true;
    Board board(config);
    program_and_poll(board, {0x17, 0x00, 0x41, 0x00, 0xFF, 0xFF, 0xFF, 0x01}, 1);
    ASSERT_GE(board.events().size(), 2u);
    EXPECT_EQ(board.events()[1],
              "synth set out of range div_a 24 div_b 66 post_div none mode 1: never locks");
}

}  // namespace
}  // namespace oscset::sim
