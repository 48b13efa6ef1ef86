#include "platform/time.hpp"

#include <atomic>
#include <mutex>
#include <numeric>
#include <thread>

namespace oscset::platform {
namespace {

std::atomic<bool> simulated{false};
std::atomic<std::uint32_t> divisor_now{1};
std::mutex record_mutex;
struct Sleep {
    Wait who;
    std::uint32_t ms;
};
std::vector<Sleep> recorded;
std::function<void(std::uint32_t)> sleep_hook;

std::chrono::microseconds scaled(std::uint32_t ms) {
    const auto nominal = std::chrono::microseconds(std::uint64_t{ms} * 1000);
    if (!simulated.load()) {
        return nominal;
    }
    const std::uint32_t divisor = divisor_now.load();
    return divisor == 0 ? std::chrono::microseconds(0) : nominal / divisor;
}

}  // namespace

void sleep_ms(Wait who, std::uint32_t ms) {
    std::function<void(std::uint32_t)> hook;
    if (simulated.load()) {
        std::lock_guard lock(record_mutex);
        recorded.push_back({who, ms});
        hook = sleep_hook;
    }
    const auto real = scaled(ms);
    if (real.count() == 0) {
        std::this_thread::yield();
    } else {
        std::this_thread::sleep_for(real);
    }
    if (hook) {
        hook(ms);
    }
}

std::chrono::microseconds wait_limit(std::uint32_t ms) {
    return scaled(ms);
}

SimulatedTime::SimulatedTime(std::uint32_t divisor) {
    clear();
    divisor_now.store(divisor);
    simulated.store(true);
}

SimulatedTime::~SimulatedTime() {
    on_sleep(nullptr);
    simulated.store(false);
    divisor_now.store(1);
}

std::vector<std::uint32_t> SimulatedTime::sleeps(std::optional<Wait> who) const {
    std::lock_guard lock(record_mutex);
    std::vector<std::uint32_t> lengths;
    for (const Sleep& s : recorded) {
        if (!who || s.who == *who) {
            lengths.push_back(s.ms);
        }
    }
    return lengths;
}

std::uint64_t SimulatedTime::total_ms() const {
    const std::vector<std::uint32_t> lengths = sleeps();
    return std::accumulate(lengths.begin(), lengths.end(), std::uint64_t{0});
}

void SimulatedTime::on_sleep(std::function<void(std::uint32_t)> hook) {
    std::lock_guard lock(record_mutex);
    sleep_hook = std::move(hook);
}

void SimulatedTime::clear() {
    std::lock_guard lock(record_mutex);
    recorded.clear();
}

}  // namespace oscset::platform
