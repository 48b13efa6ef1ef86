#include "sim/board/tap.hpp"

#include <array>

namespace oscset::sim {
namespace {

using S = TapState;

struct TapRow {
    TapState state;
    const char* name;
    TapState tms_low;
    TapState tms_high;
};

// One row per state, in the order of the enumeration.
constexpr std::array<TapRow, TAP_STATE_COUNT> TAP_GRAPH{{
    {S::TEST_LOGIC_RESET, "Test-Logic-Reset", S::RUN_TEST_IDLE, S::TEST_LOGIC_RESET},
    {S::RUN_TEST_IDLE, "Run-Test/Idle", S::RUN_TEST_IDLE, S::SELECT_DR_SCAN},
    {S::SELECT_DR_SCAN, "Select-DR-Scan", S::CAPTURE_DR, S::SELECT_IR_SCAN},
    {S::CAPTURE_DR, "Capture-DR", S::SHIFT_DR, S::EXIT1_DR},
    {S::SHIFT_DR, "Shift-DR", S::SHIFT_DR, S::EXIT1_DR},
    {S::EXIT1_DR, "Exit1-DR", S::PAUSE_DR, S::UPDATE_DR},
    {S::PAUSE_DR, "Pause-DR", S::PAUSE_DR, S::EXIT2_DR},
    {S::EXIT2_DR, "Exit2-DR", S::SHIFT_DR, S::UPDATE_DR},
    {S::UPDATE_DR, "Update-DR", S::RUN_TEST_IDLE, S::SELECT_DR_SCAN},
    {S::SELECT_IR_SCAN, "Select-IR-Scan", S::CAPTURE_IR, S::TEST_LOGIC_RESET},
    {S::CAPTURE_IR, "Capture-IR", S::SHIFT_IR, S::EXIT1_IR},
    {S::SHIFT_IR, "Shift-IR", S::SHIFT_IR, S::EXIT1_IR},
    {S::EXIT1_IR, "Exit1-IR", S::PAUSE_IR, S::UPDATE_IR},
    {S::PAUSE_IR, "Pause-IR", S::PAUSE_IR, S::EXIT2_IR},
    {S::EXIT2_IR, "Exit2-IR", S::SHIFT_IR, S::UPDATE_IR},
    {S::UPDATE_IR, "Update-IR", S::RUN_TEST_IDLE, S::SELECT_DR_SCAN},
}};

constexpr bool rows_in_order() {
    for (int i = 0; i < TAP_STATE_COUNT; ++i) {
        if (static_cast<int>(TAP_GRAPH[i].state) != i) {
            return false;
        }
    }
    return true;
}
static_assert(rows_in_order(), "the TAP graph is indexed by state");

}  // namespace

TapState tap_next(TapState state, bool tms) {
    const TapRow& row = TAP_GRAPH[static_cast<std::size_t>(state)];
    return tms ? row.tms_high : row.tms_low;
}

const char* tap_state_name(TapState state) {
    return TAP_GRAPH[static_cast<std::size_t>(state)].name;
}

}  // namespace oscset::sim
