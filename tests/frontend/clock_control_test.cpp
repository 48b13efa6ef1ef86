#include <gtest/gtest.h>

#include <vector>

#include "frontend/clock_control.hpp"
#include "platform/time.hpp"

namespace oscset::frontend {
namespace {

struct RecordRow {
    std::int32_t div_a, div_b, post_div, doubler;
    clock_params record;
};

class ClockParams : public ::testing::TestWithParam<RecordRow> {};

TEST_P(ClockParams, PackTheRecordLittleEndian) {
    const RecordRow& r = GetParam();
    divider_plan plan;
    plan.div_a = r.div_a;
    plan.div_b = r.div_b;
    plan.post_div = r.post_div;
    plan.doubler = r.doubler;
    EXPECT_EQ(make_clock_params(plan), r.record);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ClockParams,
    ::testing::Values(
        RecordRow{24, 40, 4, 0, {0x17, 0x00, 0x27, 0x00, 0x01, 0x00, 0x00, 0x01}},
        RecordRow{24, 30, 30000000, 0, {0x17, 0x00, 0x1D, 0x00, 0xBF, 0xE1, 0xE4, 0x01}},
        RecordRow{40, 41, 2, 0, {0x27, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01}},
        RecordRow{667, 834, 2858, 0, {0x9A, 0x02, 0x41, 0x03, 0x94, 0x05, 0x00, 0x01}},
        RecordRow{24, 66, 0, 0, {0x17, 0x00, 0x41, 0x00, 0xFF, 0xFF, 0xFF, 0x00}},
        RecordRow{24, 90, 0, 1, {0x17, 0x00, 0x59, 0x00, 0xFF, 0xFF, 0xFF, 0x02}}));

// A bus whose status byte shows lock from a chosen read on (0: never).
class ScriptedBus final : public BusAccess {
  public:
    explicit ScriptedBus(int lock_at_read) : lock_at_read_(lock_at_read) {}

    status_t write(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) override {
        writes.push_back({address, std::vector<std::uint8_t>(data, data + length)});
        return STATUS_OK;
    }
    status_t read(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override {
        ++reads;
        EXPECT_EQ(address, 0u);
        EXPECT_EQ(length, 1u);
        buffer[0] = (lock_at_read_ != 0 && reads >= lock_at_read_) ? 3 : (reads % 2 ? 1 : 2);
        return STATUS_NO_CABLE;  // never looked at
    }

    struct WriteRow {
        std::uint32_t address;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<WriteRow> writes;
    int reads = 0;

  private:
    int lock_at_read_;
};

divider_plan twelve_point_three() {
    divider_plan plan;
    plan.div_a = 40;
    plan.div_b = 41;
    plan.post_div = 2;
    return plan;
}

TEST(ProgramClock, LockAtTheFirstReadNeedsNoPause) {
    platform::SimulatedTime time;
    ScriptedBus bus(1);
    EXPECT_TRUE(program_clock(twelve_point_three(), bus));
    ASSERT_EQ(bus.writes.size(), 1u);
    EXPECT_EQ(bus.writes[0].address, 0u);
    EXPECT_EQ(bus.writes[0].bytes,
              (std::vector<std::uint8_t>{0x27, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(bus.reads, 1);
    EXPECT_TRUE(time.sleeps().empty());
}

TEST(ProgramClock, GivesUpAfterTenReadsAndTenPauses) {
    platform::SimulatedTime time;
    ScriptedBus bus(0);
    EXPECT_FALSE(program_clock(twelve_point_three(), bus));
    EXPECT_EQ(bus.writes.size(), 1u);
    EXPECT_EQ(bus.reads, 10);
    EXPECT_EQ(time.sleeps(), std::vector<std::uint32_t>(10, 100));
}

TEST(ProgramClock, LockAtTheTenthReadIsStillASuccess) {
    platform::SimulatedTime time;
    ScriptedBus bus(10);
    EXPECT_TRUE(program_clock(twelve_point_three(), bus));
    EXPECT_EQ(bus.reads, 10);
    EXPECT_EQ(time.sleeps(), std::vector<std::uint32_t>(9, 100));
}

}  // namespace
}  // namespace oscset::frontend
