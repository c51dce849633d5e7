// ThreadSanitizer suppressions built into the widgets suite. QFileSystemModel's
// file-facts thread ends inside Qt, whose own synchronisation (QThread::wait on
// futex-based atomics) is not instrumented; ThreadSanitizer then takes the
// destruction of the thread's wait condition after the join for a race. Its
// pooled helper threads likewise copy implicitly shared strings whose reference
// counts are Qt's uninstrumented atomics. Only the wait condition's destructor
// and the C library calls made directly from Qt Core and Qt Gui (memmove and
// delete on shared data, QFileSystemModel lives in Qt Gui)
// are silenced; races with a frame of our own code stay reported.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions()
{
    return "race:QWaitCondition::~QWaitCondition\n"
           "called_from_lib:libQt6Core.so.6\n"
           "called_from_lib:libQt6Gui.so.6\n";
}
#endif
