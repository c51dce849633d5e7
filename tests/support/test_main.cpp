// main() of every test suite: an application object first, so components that
// post to the main thread have an event loop to post to.
#include <gtest/gtest.h>

#ifdef PELU_TEST_GUI
#include <QApplication>
using TestApplication = QApplication;
#else
#include <QCoreApplication>
using TestApplication = QCoreApplication;
#endif

#include <cstdlib>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
#ifdef PELU_TEST_GUI
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
#endif
    TestApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
