#pragma once

#include <functional>

namespace tarnwick {

// Runs `task` later on the main thread, in the Qt event loop, after every task posted before
// it. Safe to call from any thread. Tasks posted when no application object exists are dropped.
void postToMain(std::function<void()> task);

// Whether the calling thread is the main (GUI) thread.
bool onMainThread();

} // namespace tarnwick
