#pragma once
// The background-operation state that the configuration engine and the bridge transfers
// share, and the one way a job runs under it. While a worker runs, every entry into the JTAG
// layer answers STATUS_BUSY, so the chain belongs to one thread at a time. Only this file
// sets the state: the job's two steps say when it moves data.

#include <atomic>
#include <cstdint>

#include "cables/status.hpp"

namespace oscset::jtag {

inline constexpr std::int32_t BG_IDLE = 0;      // nothing pending, any result collected
inline constexpr std::int32_t BG_DONE = 1;      // finished; the result waits
inline constexpr std::int32_t BG_RUNNING = 2;   // moving data
inline constexpr std::int32_t BG_STARTED = 3;   // started, not moving data yet
inline constexpr std::int32_t BG_ACCEPTED = 4;  // a configuration request taken, no worker yet

// Bit 31 of a caller's length word asks for the worker thread.
inline constexpr std::uint32_t LENGTH_BACKGROUND = 0x80000000;
// The starter polls every START_POLL_MS until the worker moves data; START_LIMIT_MS after the
// worker began it stops waiting and reports the worker busy, as it does a running one.
inline constexpr std::uint32_t START_POLL_MS = 10;
inline constexpr std::uint32_t START_LIMIT_MS = 60'000;

std::int32_t background_state();

// BG_IDLE: 0 when a cable is open, else STATUS_NO_CABLE. BG_DONE: the finished operation's
// result, once (the state returns to BG_IDLE). Otherwise STATUS_BUSY.
status_t background_collect();

// The caller's length word is shared with the thread that polls it.
template <typename Word>
Word load_length(Word* word) {
    return std::atomic_ref<Word>(*word).load();
}
template <typename Word>
void store_length(Word* word, Word value) {
    std::atomic_ref<Word>(*word).store(value);
}

// A job: what it does before it moves data (may be null; a nonzero result ends the job), then
// the data itself (the state BG_RUNNING).
struct BackgroundJob {
    status_t (*prepare)();
    status_t (*move)();
};

// Runs `job` with the state `accepted` until it starts. On the worker thread when `on_worker`,
// returning once the job moves data or has ended (or the start limit has passed); otherwise
// here. A worker that cannot start ends the job with STATUS_NOT_CONFIGURED, after the
// thread seam's line. Returns background_collect().
status_t background_run_job(std::int32_t accepted, bool on_worker, BackgroundJob job);

// The same for a request whose length word says where it runs; bit 31 is cleared first.
template <typename Word>
status_t background_run(std::int32_t accepted, Word* length, BackgroundJob job) {
    const auto word = static_cast<std::uint32_t>(load_length(length));
    const bool on_worker = (word & LENGTH_BACKGROUND) != 0;
    if (on_worker) {
        store_length(length, static_cast<Word>(word & ~LENGTH_BACKGROUND));
    }
    return background_run_job(accepted, on_worker, job);
}

// Waits for a worker that is still running and returns the state to BG_IDLE: for tests, and
// for a program that must end while a worker runs.
void background_reset();

}  // namespace oscset::jtag
