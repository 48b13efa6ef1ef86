#pragma once
// The background-operation state that the configuration engine and the bridge transfers
// share. While a worker runs, every entry into the JTAG layer answers STATUS_BUSY, so the
// chain belongs to one thread at a time.

#include <cstdint>

#include "cables/status.hpp"

namespace oscset::jtag {

inline constexpr std::int32_t BG_IDLE = 0;      // nothing pending, any result collected
inline constexpr std::int32_t BG_DONE = 1;      // finished; the result waits
inline constexpr std::int32_t BG_RUNNING = 2;   // moving data
inline constexpr std::int32_t BG_STARTED = 3;   // started, not moving data yet
inline constexpr std::int32_t BG_ACCEPTED = 4;  // a configuration request taken, no worker yet

std::int32_t background_state();
void set_background_state(std::int32_t state);
void set_background_result(status_t result);

// BG_IDLE: 0 when a cable is open, else STATUS_NO_CABLE. BG_DONE: the finished operation's
// result, once (the state returns to BG_IDLE). Otherwise STATUS_BUSY.
status_t background_collect();

// Starts the worker thread at `body`. The previous worker, which has finished by the time
// its result was collected, is joined first.
void background_launch(void (*body)());

// Waits for a worker that is still running and returns the state to BG_IDLE: for tests, and
// for a program that must end while a worker runs.
void background_reset();

}  // namespace oscset::jtag
