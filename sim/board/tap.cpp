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
    {S::test_logic_reset, "Test-Logic-Reset", S::run_test_idle, S::test_logic_reset},
    {S::run_test_idle, "Run-Test/Idle", S::run_test_idle, S::select_dr_scan},
    {S::select_dr_scan, "Select-DR-Scan", S::capture_dr, S::select_ir_scan},
    {S::capture_dr, "Capture-DR", S::shift_dr, S::exit1_dr},
    {S::shift_dr, "Shift-DR", S::shift_dr, S::exit1_dr},
    {S::exit1_dr, "Exit1-DR", S::pause_dr, S::update_dr},
    {S::pause_dr, "Pause-DR", S::pause_dr, S::exit2_dr},
    {S::exit2_dr, "Exit2-DR", S::shift_dr, S::update_dr},
    {S::update_dr, "Update-DR", S::run_test_idle, S::select_dr_scan},
    {S::select_ir_scan, "Select-IR-Scan", S::capture_ir, S::test_logic_reset},
    {S::capture_ir, "Capture-IR", S::shift_ir, S::exit1_ir},
    {S::shift_ir, "Shift-IR", S::shift_ir, S::exit1_ir},
    {S::exit1_ir, "Exit1-IR", S::pause_ir, S::update_ir},
    {S::pause_ir, "Pause-IR", S::pause_ir, S::exit2_ir},
    {S::exit2_ir, "Exit2-IR", S::shift_ir, S::update_ir},
    {S::update_ir, "Update-IR", S::run_test_idle, S::select_dr_scan},
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
