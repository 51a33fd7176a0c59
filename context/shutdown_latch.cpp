#include "context/shutdown_latch.h"

#include <atomic>

namespace {

// One flag for the whole loaded library, shared by every context; requests
// for different contexts run on different host threads, hence atomic.
std::atomic<int> shutdownLatch{0};

}  // namespace

bool ShutdownLatchIsSet() { return shutdownLatch.load(std::memory_order_acquire) == 1; }

void SetShutdownLatch() { shutdownLatch.store(1, std::memory_order_release); }

void ClearShutdownLatch() { shutdownLatch.store(0, std::memory_order_release); }
