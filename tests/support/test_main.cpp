// main() of every test suite: the environment the suite runs in, then an
// application object, so components that post to the main thread have an
// event loop to post to. The environment is set here rather than by ctest so
// that a suite run by hand behaves as it does under ctest; a variable already
// set wins.
#include <gtest/gtest.h>

#ifdef PELU_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
// scripts/tsan.supp, built in so that a suite run without TSAN_OPTIONS is
// judged as it is by scripts/test.sh.
extern "C" const char* __tsan_default_suppressions()
{
    return
#include "tsan_suppressions.inc"
        ;
}
#endif

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    // No display, for the suite and the programs it starts.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
#ifdef PELU_TEST_GUI
    // The widget suites run the band: sound goes to the simulated card and
    // mixer, never to the machine's, whatever a fixture forgets to pick.
    setenv("PELU_WAVE_DEVICE", "sim:0", 0);
    setenv("PELU_MIXER", "sim", 0);
#endif
#ifdef PELU_TEST_NO_SANDBOX
    // The page engine's sandbox cannot start as root or in a container.
    setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
#endif
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
