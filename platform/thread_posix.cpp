#include <pthread.h>
#include <sched.h>

#include "platform/thread.hpp"

namespace oscset::platform {

bool raise_thread_priority() {
    // Real-time scheduling needs CAP_SYS_NICE; an ordinary user keeps the normal policy.
    sched_param param{};
    param.sched_priority = sched_get_priority_max(SCHED_FIFO);
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

}  // namespace oscset::platform
