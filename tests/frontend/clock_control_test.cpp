#include <gtest/gtest.h>

#include <string>
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

struct LockRow {
    const char* name;
    int lock_at_read;  // 0: never
    bool write_fails;
    int failing_read;  // 0: none
    bool locked;
    int reads;
    std::size_t pauses;
};

void PrintTo(const LockRow& r, std::ostream* os) {
    *os << r.name;
}

// A bus whose status byte shows lock from a chosen read on, as a board still locked to an
// earlier record would; the write, or a read, may fail on the cable.
class ScriptedBus final : public BusAccess {
  public:
    explicit ScriptedBus(const LockRow& row) : row_(row) {}

    status_t write(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) override {
        writes.push_back({address, std::vector<std::uint8_t>(data, data + length)});
        return row_.write_fails ? STATUS_CABLE_FAILED : STATUS_OK;
    }
    status_t read(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override {
        ++reads;
        EXPECT_EQ(address, 0u);
        EXPECT_EQ(length, 1u);
        buffer[0] =
            (row_.lock_at_read != 0 && reads >= row_.lock_at_read) ? 3 : (reads % 2 ? 1 : 2);
        return reads == row_.failing_read ? STATUS_CABLE_FAILED : STATUS_OK;
    }

    struct WriteRow {
        std::uint32_t address;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<WriteRow> writes;
    int reads = 0;

  private:
    const LockRow& row_;
};

class ProgramClock : public ::testing::TestWithParam<LockRow> {};

TEST_P(ProgramClock, WritesTheRecordOnceAndPollsForLock) {
    const LockRow& r = GetParam();
    platform::SimulatedTime time;
    ScriptedBus bus(r);
    divider_plan plan;
    plan.div_a = 40;
    plan.div_b = 41;
    plan.post_div = 2;
    EXPECT_EQ(program_clock(plan, bus), r.locked);
    ASSERT_EQ(bus.writes.size(), 1u);
    EXPECT_EQ(bus.writes[0].address, 0u);
    EXPECT_EQ(bus.writes[0].bytes,
              (std::vector<std::uint8_t>{0x27, 0x00, 0x28, 0x00, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(bus.reads, r.reads);
    EXPECT_EQ(time.sleeps(), std::vector<std::uint32_t>(r.pauses, 100));
}

INSTANTIATE_TEST_SUITE_P(
    Lock, ProgramClock,
    ::testing::Values(LockRow{"AtTheFirstReadNeedsNoPause", 1, false, 0, true, 1, 0},
                      LockRow{"NeverGivesUpAfterTenReadsAndTenPauses", 0, false, 0, false, 10, 10},
                      LockRow{"AtTheTenthReadIsStillASuccess", 10, false, 0, true, 10, 9},
                      // Whatever the board answers then, it is not locked to this record.
                      LockRow{"AfterAFailedWriteIsNotAwaited", 1, true, 0, false, 0, 0},
                      LockRow{"ShownByAFailedReadIsNotTaken", 1, false, 1, true, 2, 1}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace oscset::frontend
