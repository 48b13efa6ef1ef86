#pragma once
// The test access port controller of IEEE 1149.1: its 16 states and the graph that TMS walks
// on every rising TCK edge.

#include <cstdint>

namespace oscset::sim {

enum class TapState : std::uint8_t {
    TEST_LOGIC_RESET,
    RUN_TEST_IDLE,
    SELECT_DR_SCAN,
    CAPTURE_DR,
    SHIFT_DR,
    EXIT1_DR,
    PAUSE_DR,
    EXIT2_DR,
    UPDATE_DR,
    SELECT_IR_SCAN,
    CAPTURE_IR,
    SHIFT_IR,
    EXIT1_IR,
    PAUSE_IR,
    EXIT2_IR,
    UPDATE_IR,
};

inline constexpr int TAP_STATE_COUNT = 16;

// The state that a rising TCK edge leads to from `state` with TMS at `tms`.
TapState tap_next(TapState state, bool tms);

// The standard's name of the state, e.g. "Run-Test/Idle".
const char* tap_state_name(TapState state);

// True from Capture-DR to Exit2-DR: the states in which a data-register scan is under way.
constexpr bool in_dr_scan(TapState state) {
    return state >= TapState::CAPTURE_DR && state <= TapState::EXIT2_DR;
}

}  // namespace oscset::sim
