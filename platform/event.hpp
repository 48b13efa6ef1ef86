#pragma once
// An unnamed manual-reset event: once set it stays set, waking every waiter, until reset.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace oscset::platform {

class ManualResetEvent {
  public:
    ManualResetEvent() = default;
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    void set();
    void reset();
    bool is_set() const;
    void wait();  // no time limit
    // Waits at most `ms` milliseconds (the wait_limit of the time seam); true when set.
    bool wait_for_ms(std::uint32_t ms);

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
};

}  // namespace oscset::platform
