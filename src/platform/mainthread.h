// The main-thread facade: the user-interface thread runs all component logic;
// worker threads hand work to it here.
//
// Thread: post() and run_and_wait() from any thread; process_pending_events()
// and run_loop_until() on the main thread only. The main thread is the thread
// that owns the QCoreApplication (or, before one exists, the first caller of
// set_main_thread()).
#pragma once

#include <atomic>
#include <functional>

namespace pelu::platform {

// True on the thread that runs the Qt event loop of the application.
bool is_main_thread();

// Queues `fn` to run on the main thread after the calls already queued.
// Never runs it inline, even when called on the main thread. Without an
// application object there is no main loop, and the call is dropped.
void post(std::function<void()> fn);

// The same on behalf of `receiver`: cancel_posted(receiver), called on the main
// thread (a receiver's destructor does so), drops what is still queued for it,
// so a call never outlives the object it works on.
void post(const void* receiver, std::function<void()> fn);
void cancel_posted(const void* receiver);

// Runs `fn` on the main thread and returns when it has run. Runs inline when
// called on the main thread. Exceptions thrown by `fn` are rethrown here.
// Returns false, without running `fn`, when the application is shutting down.
bool run_and_wait(std::function<void()> fn);

// Readies the main loop to receive posted calls. Called on the main thread (it
// does nothing elsewhere) by whatever starts threads that will post: calls
// posted before it wait in the queue until then.
void attach_to_main_loop();

// Delivers the events and posted calls that are waiting (main thread).
void process_pending_events();

// Runs a nested event loop until `done` becomes true, checking it after every
// event and at least every `poll_ms` milliseconds (main thread).
void run_loop_until(const std::atomic<bool>& done, int poll_ms = 10);

} // namespace pelu::platform
