#include "jtag/background.hpp"

#include <atomic>
#include <thread>

#include "cables/cable.hpp"

namespace oscset::jtag {
namespace {

std::atomic<std::int32_t> state{BG_IDLE};
std::atomic<status_t> result{STATUS_OK};

// Joins the last worker when the program ends, so that no thread outlives the state it uses.
struct Worker {
    std::thread thread;
    ~Worker() {
        if (thread.joinable()) {
            thread.join();
        }
    }
} worker;

}  // namespace

std::int32_t background_state() {
    return state.load();
}

void set_background_state(std::int32_t value) {
    state.store(value);
}

void set_background_result(status_t value) {
    result.store(value);
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

void background_launch(void (*body)()) {
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
    worker.thread = std::thread(body);
}

void background_reset() {
    if (worker.thread.joinable()) {
        worker.thread.join();
    }
    state.store(BG_IDLE);
    result.store(STATUS_OK);
}

}  // namespace oscset::jtag
