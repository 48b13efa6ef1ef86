#pragma once
// Every wait of the program goes through this seam: the program keeps its real times,
// tests run the same code in simulated (shortened) time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace oscset::platform {

// Who waits. Each sleep names its waiter, so that a test tells the waits apart by who waits,
// not by how long.
enum class Wait : std::uint8_t {
    LOCK_POLL,          // the clock control, between status reads without lock
    PROGRESS,           // the configuration's progress loop, between lines
    RECONFIG,           // the configuration engine, between the reconfiguration sequences
    WORKER_START,       // a background job's starter, until the worker moves data
    ADAPTER_ABSENT,     // the USB boot loop, between opens while the adapter is away
    ADAPTER_RECONNECT,  // the USB boot loop, after the first open following a boot
    ADAPTER_RESTART,    // the USB boot loop, while the booted firmware disconnects
};

// Sleeps for `ms` milliseconds (shortened while a SimulatedTime is active).
void sleep_ms(Wait who, std::uint32_t ms);

// The real time that a bounded wait of `ms` milliseconds may take.
std::chrono::microseconds wait_limit(std::uint32_t ms);

// For tests: while alive, sleeps and wait limits last 1/divisor of their nominal time
// (divisor 0: sleeps only yield and bounded waits give up at once), and every requested
// sleep is recorded with its nominal length. Not nestable; one at a time.
class SimulatedTime {
  public:
    explicit SimulatedTime(std::uint32_t divisor = 1000);
    ~SimulatedTime();
    SimulatedTime(const SimulatedTime&) = delete;
    SimulatedTime& operator=(const SimulatedTime&) = delete;

    // Nominal milliseconds, in order: of every sleep, or of one waiter's.
    std::vector<std::uint32_t> sleeps(std::optional<Wait> who = std::nullopt) const;
    std::uint64_t total_ms() const;  // sum of the nominal sleeps
    void clear();
    // Called after each sleep with its nominal length, on the sleeping thread: what
    // simulated hardware does while the program waits (a USB hub noticing a device).
    void on_sleep(std::function<void(std::uint32_t)> hook);
};

}  // namespace oscset::platform
