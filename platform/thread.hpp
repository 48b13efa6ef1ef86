#pragma once
// Thread facilities that the standard library leaves to the platform.

#include <thread>

namespace oscset::platform {

// Raises the calling thread to the highest priority the process may use (time-critical on
// Windows). Returns false when the system refuses; the thread then runs as before.
bool raise_thread_priority();

// Starts `body` on `thread`. A system out of threads (a process limit) refuses: then one line
// "Can't start a thread: <reason>" is printed and false returned, never an abort.
bool start_thread(std::thread& thread, void (*body)());

// For tests: while alive, every start_thread is refused as such a system refuses it.
class RefusedThreads {
  public:
    RefusedThreads();
    ~RefusedThreads();
    RefusedThreads(const RefusedThreads&) = delete;
    RefusedThreads& operator=(const RefusedThreads&) = delete;
};

}  // namespace oscset::platform
