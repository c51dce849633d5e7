// PELU Browser as a program, with the tests' stand-in band library registered
// the way a user registers one.
#include "browser_run.h"

#include <gtest/gtest.h>

namespace pelu::test {
namespace {

QString stand_in_library() { return QCoreApplication::applicationDirPath() + "/libpelu_test_helper.so"; }

TEST(BrowserProgram, BandAfterTheFirstNavigationInTheFirstWindowOnly)
{
    BrowserHome home;
    home.set_dll_location();
    QString output;
    ASSERT_EQ(home.pelu({"regsvr", stand_in_library()}, &output), 0) << output.toStdString();

    BrowserRun run(home);
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait_for("window-opened 1"));
    // The band arrives while the first completed navigation is reported.
    auto band = run.wait_for("band 1 ");
    ASSERT_TRUE(band) << run.lines().join('\n').toStdString() << run.errors().toStdString();
    EXPECT_TRUE(band->endsWith(" 673 1 804x28 gripper")) << band->toStdString();
    auto navigated = run.wait_for("navigated 1 ");
    ASSERT_TRUE(navigated);
    EXPECT_TRUE(navigated->endsWith("/pages/index.html")) << navigated->toStdString();
    EXPECT_EQ(home.band_log_lines(), (QStringList{"created", "linked"}));

    // A second navigation changes nothing.
    run.send("navigate 1 file://" + home.storage() + "pages/second.html");
    ASSERT_TRUE(run.wait_for("navigated 1 "));
    run.send("bands 1");
    auto bands = run.wait_for("bands 1");
    ASSERT_TRUE(bands);
    EXPECT_EQ(band_ids(*bands), (QStringList{"1", "673"}));

    // The Backspace command goes back in the history, through the band's filter.
    run.send("back 1");
    auto back = run.wait_for("navigated 1 ");
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->endsWith("/pages/index.html")) << back->toStdString();

    // A second window of the process gets no band.
    run.send("new-window");
    ASSERT_TRUE(run.wait_for("window-opened 2"));
    ASSERT_TRUE(run.wait_for("navigated 2 "));
    run.send("bands 2");
    auto second = run.wait_for("bands 2");
    ASSERT_TRUE(second);
    EXPECT_EQ(band_ids(*second), QStringList{"1"});

    // Closing the first window takes the band down.
    run.send("close 1");
    ASSERT_TRUE(run.wait_for("window-closed 1"));
    EXPECT_EQ(home.band_log_lines(), (QStringList{"created", "linked", "closing", "destroyed"}));
    EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
    EXPECT_FALSE(run.lines().filter("error").size()) << run.lines().join('\n').toStdString();
}

TEST(BrowserProgram, UnregisteredOrBrokenHelpersLeaveThePlainBrowser)
{
    BrowserHome home;
    home.set_dll_location();
    ASSERT_EQ(home.pelu({"regsvr", stand_in_library()}), 0);
    ASSERT_EQ(home.pelu({"regsvr", "-u", stand_in_library()}), 0);
    {
        BrowserRun run(home);
        ASSERT_TRUE(run.wait_for("navigated 1 "));
        run.send("bands 1");
        auto bands = run.wait_for("bands 1");
        ASSERT_TRUE(bands);
        EXPECT_EQ(band_ids(*bands), QStringList{"1"});
        EXPECT_EQ(run.finish(), 0);
        EXPECT_TRUE(home.band_log_lines().isEmpty());
    }

    // A registered library that has gone away: said once, and the browser runs.
    const QString copy = home.root() + "/libgone.so";
    ASSERT_TRUE(QFile::copy(stand_in_library(), copy));
    ASSERT_EQ(home.pelu({"regsvr", copy}), 0);
    ASSERT_TRUE(QFile::remove(copy));
    BrowserRun run(home);
    ASSERT_TRUE(run.wait_for("navigated 1 "));
    run.send("new-window");
    ASSERT_TRUE(run.wait_for("navigated 2 "));
    EXPECT_EQ(run.finish(), 0);
    const QString errors = run.errors();
    EXPECT_EQ(errors.count("cannot load " + copy), 1) << errors.toStdString();
}

TEST(BrowserProgram, WithoutSetupTheHomePageSaysWhatToDo)
{
    BrowserHome home; // no "DLL Location"
    BrowserRun run(home);
    auto navigated = run.wait_for("navigated 1 ");
    ASSERT_TRUE(navigated) << run.errors().toStdString();
    EXPECT_TRUE(navigated->endsWith("about:blank"));
    EXPECT_EQ(run.finish(), 0);
}

} // namespace
} // namespace pelu::test
