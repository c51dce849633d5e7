// Calls that the wave output's and the device's threads hand to the main thread
// (end of data, buffer notices in cmWindow mode, the connector's wake-ups).
//
// The calls wait in a queue of our own under a std::mutex and an eventfd wakes
// the main loop to drain it, so the hand-over is visible to the thread
// sanitizer (Qt's own event queue is not instrumented) and a call never
// outlives its receiver: the receiver cancels its calls when it goes away.
//
// Thread: post_to_main() from any thread; cancel_posted() on the main thread.
#pragma once

#include <functional>

class QObject;

namespace pelu::platform::wave {

// Sets the queue up; call it on the main thread once an application object
// exists (the wave output and the connector do so when constructed).
void init_posted_calls();

// Runs `call` on the main thread after the calls posted before it, unless
// cancel_posted(receiver) runs first.
void post_to_main(const QObject* receiver, std::function<void()> call);

// Drops every call still queued for `receiver` (its destructor calls this).
void cancel_posted(const QObject* receiver);

} // namespace pelu::platform::wave
