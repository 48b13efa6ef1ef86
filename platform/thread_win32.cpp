#include <windows.h>

#include "platform/thread.hpp"

namespace oscset::platform {

bool raise_thread_priority() {
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL) != 0;
}

}  // namespace oscset::platform
