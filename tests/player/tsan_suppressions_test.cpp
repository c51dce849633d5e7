// ThreadSanitizer suppressions built into the player suite. Qt D-Bus runs its
// connections on a thread of its own and hands every message to the main
// thread through Qt's and libdbus's own locks and reference counts, none of
// which the sanitizer sees (the libraries are not instrumented; GLib's wake-up
// eventfd carries the hand-over between the two loops). It then takes the
// allocation on one side and the free, copy or write on the other for a race.
// Only C library calls made directly from those libraries are silenced; a race
// with a frame of our own code on top stays reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6DBus.so.6\n"
           "called_from_lib:libdbus-1.so.3\n"
           "called_from_lib:libglib-2.0.so.0\n";
}
#endif
