#include "jtag/background.hpp"

#include <atomic>
#include <thread>

#include "cables/cable.hpp"
#include "platform/thread.hpp"
#include "platform/time.hpp"

namespace oscset::jtag {
namespace {

std::atomic<std::int32_t> state{BG_IDLE};
std::atomic<status_t> result{STATUS_OK};
// Written before the worker starts and only read by it.
BackgroundJob pending_job{};
std::atomic<bool> worker_began{false};

// Joins the last worker when the program ends, so that no thread outlives the state it uses.
struct Worker {
    std::thread thread;
    ~Worker() {
        if (thread.joinable()) {
            thread.join();
        }
    }
} worker;

// The job's steps and the states between them; `started` is the state once it runs.
void run(BackgroundJob job, std::int32_t started) {
    state.store(started);
    status_t r = job.prepare != nullptr ? job.prepare() : STATUS_OK;
    if (r == STATUS_OK) {
        state.store(BG_RUNNING);
        r = job.move();
    }
    result.store(r);
    state.store(BG_DONE);
}

void run_pending_job() {
    worker_began.store(true);
    run(pending_job, BG_STARTED);
}

}  // namespace

std::int32_t background_state() {
    return state.load();
}

status_t background_collect() {
    const std::int32_t now = state.load();
    if (now == BG_IDLE) {
        return cable::cable_is_open() == 1 ? STATUS_OK : STATUS_NO_CABLE;
    }
    if (now == BG_DONE) {
        state.store(BG_IDLE);
        return result.load();
    }
    return STATUS_BUSY;
}

status_t background_run_job(std::int32_t accepted, bool on_worker, BackgroundJob job) {
    state.store(accepted);
    if (!on_worker) {
        run(job, accepted);
        return background_collect();
    }
    pending_job = job;
    worker_began.store(false);
    // The previous worker has finished by the time its result was collected.
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
    if (!platform::start_thread(worker.thread, run_pending_job)) {
        result.store(STATUS_NOT_CONFIGURED);
        state.store(BG_DONE);
        return background_collect();
    }
    // The limit counts from the worker's first step: the system runs a new thread, but how
    // long the job takes to reach the data is the job's.
    std::uint32_t waited = 0;
    while (state.load() > BG_RUNNING && waited < START_LIMIT_MS) {
        platform::sleep_ms(platform::Wait::WORKER_START, START_POLL_MS);
        if (worker_began.load()) {
            waited += START_POLL_MS;
        }
    }
    return background_collect();
}

void background_reset() {
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
    state.store(BG_IDLE);
    result.store(STATUS_OK);
}

}  // namespace oscset::jtag
