#pragma once
// The test access port controller of IEEE 1149.1: its 16 states and the graph that TMS walks
// on every rising TCK edge.

#include <cstdint>

namespace oscset::sim {

enum class TapState : std::uint8_t {
    test_logic_reset,
    run_test_idle,
    select_dr_scan,
    capture_dr,
    shift_dr,
    exit1_dr,
    pause_dr,
    exit2_dr,
    update_dr,
    select_ir_scan,
    capture_ir,
    shift_ir,
    exit1_ir,
    pause_ir,
    exit2_ir,
    update_ir,
};

inline constexpr int TAP_STATE_COUNT = 16;

// The state that a rising TCK edge leads to from `state` with TMS at `tms`.
TapState tap_next(TapState state, bool tms);

// The standard's name of the state, e.g. "Run-Test/Idle".
const char* tap_state_name(TapState state);

// True from Capture-DR to Exit2-DR: the states in which a data-register scan is under way.
constexpr bool in_dr_scan(TapState state) {
    return state >= TapState::capture_dr && state <= TapState::exit2_dr;
}

}  // namespace oscset::sim
