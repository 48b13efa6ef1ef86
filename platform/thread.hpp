#pragma once
// Thread facilities that the standard library leaves to the platform.

namespace oscset::platform {

// Raises the calling thread to the highest priority the process may use (time-critical on
// Windows). Returns false when the system refuses; the thread then runs as before.
bool raise_thread_priority();

}  // namespace oscset::platform
