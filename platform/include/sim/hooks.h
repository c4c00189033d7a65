// Test hooks into the kernel stand-in: a test stops a thread at a chosen
// point of the stand-in's work to force an interleaving with other threads.
#pragma once

#include <functional>

#include "nt/ke.h"

namespace sim {

// Calls `hook` on the releasing thread after every KeReleaseMutex that
// leaves the mutex free (an empty hook removes it): a test stops a driver
// right after it lets a lock go.
void SetMutexReleasedHook(std::function<void(PRKMUTEX)> hook);

}  // namespace sim
