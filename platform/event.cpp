#include "platform/event.hpp"

#include "platform/time.hpp"

namespace oscset::platform {

void ManualResetEvent::set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    changed_.notify_all();
}

void ManualResetEvent::reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool ManualResetEvent::is_set() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}

void ManualResetEvent::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return signalled_; });
}

bool ManualResetEvent::wait_for_ms(std::uint32_t ms) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait_limit(ms), [this] { return signalled_; });
}

}  // namespace oscset::platform
