// Polls a condition that another thread, a child program or the event loop
// makes true. Thread: the caller's; with Events::process it must own an event
// loop (the suites' main thread does).
#pragma once

#include <functional>

namespace pelu::test {

enum class Events {
    process, // between checks, deliver the calling thread's Qt events and deferred deletions
    none,    // only sleep (up to 20 ms a time): for other threads' and programs' progress
};

// Checks `done` until it holds or `timeout_ms` passes; true when it held.
bool wait_until(const std::function<bool()>& done, int timeout_ms = 10000, Events events = Events::process);

} // namespace pelu::test
