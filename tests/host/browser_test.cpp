// PELU Browser as a program, with the tests' stand-in band library registered
// the way a user registers one.
#include "mp3_fixtures.h"
#include "browser_run.h"

#include <QDateTime>
#include <QFileInfo>

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
    EXPECT_EQ(run.band_ids_of(1), (QStringList{"1", "673"}));

    // The Backspace command goes back in the history, through the band's filter.
    run.send("back 1");
    auto back = run.wait_for("navigated 1 ");
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->endsWith("/pages/index.html")) << back->toStdString();

    // A second window of the process gets no band.
    run.send("new-window");
    ASSERT_TRUE(run.wait_for("window-opened 2"));
    ASSERT_TRUE(run.wait_for("navigated 2 "));
    EXPECT_EQ(run.band_ids_of(2), QStringList{"1"});

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
        EXPECT_EQ(run.band_ids_of(1), QStringList{"1"});
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

namespace pelu::test {
namespace {

namespace reg = pelu::platform::registry;

// The real band: set up as a user does, played with, closed, unregistered.
TEST(BrowserWithBand, TheBandComesOnceSavesAtCloseAndGoesWithUnregistering)
{
    BrowserHome home;
    const QString data = home.root() + "/shipped";
    QDir().mkpath(data + "/pages");
    QFile::copy(QString::fromLatin1(PELU_TEST_SOURCE_DATA_DIR "/default.ini"), data + "/default.ini");
    for (const char* name : {"index.html", "help.html"}) {
        QFile page(data + "/pages/" + name);
        ASSERT_TRUE(page.open(QIODevice::WriteOnly));
        page.write(QByteArray("<!DOCTYPE html><title>") + name + "</title><p>" + name);
    }
    QString output;
    ASSERT_EQ(home.pelu({"setup", "--data", data}, &output), 0) << output.toStdString();
    ASSERT_TRUE(output.contains("/libPELU.so succeeded.")) << output.toStdString();

    // A resume playlist of two tracks.
    const QString storage = home.storage();
    for (const char* name : {"one.mp3", "two.mp3"})
        write_file((storage + name).toStdString(), encode_mp3(cbr128_stereo_44k(1.0)));
    ASSERT_EQ(home.pelu({"playlist", "make", storage + "es.xes", storage + "one.mp3", storage + "two.mp3"}, &output), 0)
        << output.toStdString();
    const QDateTime resume_written = QFileInfo(storage + "es.xes").lastModified();

    {
        BrowserRun run(home);
        ASSERT_TRUE(run.started());
        auto band = run.wait_for("band 1 ");
        ASSERT_TRUE(band) << run.lines().join('\n').toStdString() << run.errors().toStdString();
        EXPECT_TRUE(band->endsWith(" 673 1 804x28 gripper")) << band->toStdString();
        auto navigated = run.wait_for("navigated 1 ");
        ASSERT_TRUE(navigated);
        EXPECT_TRUE(navigated->endsWith(storage + "pages/index.html")) << navigated->toStdString();

        run.send("navigate 1 file://" + storage + "pages/help.html");
        ASSERT_TRUE(run.wait_for("navigated 1 "));
        EXPECT_EQ(run.band_ids_of(1), (QStringList{"1", "673"}));

        // For review: the browser with the band.
        const QString shots = QCoreApplication::applicationDirPath() + "/../test-output";
        QDir().mkpath(shots);
        run.send("screenshot 1 " + shots + "/pelu-browser-band.png");
        ASSERT_TRUE(run.wait_for("screenshot 1"));

        run.send("new-window");
        ASSERT_TRUE(run.wait_for("navigated 2 "));
        EXPECT_EQ(run.band_ids_of(2), QStringList{"1"});

        run.send("close 1");
        ASSERT_TRUE(run.wait_for("window-closed 1"));
        EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
        EXPECT_EQ(run.lines().filter("band ").size(), 1);
    }
    // Closing ran BandClosing (two rows: the resume playlist is written again)
    // and the form's destruction stored its properties.
    EXPECT_GT(QFileInfo(storage + "es.xes").lastModified(), resume_written);
    {
        reg::Store store(home.registry());
        auto xpd = store.open_key(reg::Hive::CurrentUser, "Software\\PELU\\XPD");
        ASSERT_TRUE(xpd);
        EXPECT_GE(store.values(*xpd).size(), 8u); // "DLL Location" and the seven stored properties
    }

    // Unregistered, the next start has no band.
    ASSERT_EQ(home.pelu({"regsvr", "-u", QCoreApplication::applicationDirPath() + "/libPELU.so"}, &output), 0)
        << output.toStdString();
    BrowserRun run(home);
    ASSERT_TRUE(run.wait_for("navigated 1 "));
    EXPECT_EQ(run.band_ids_of(1), QStringList{"1"});
    EXPECT_EQ(run.finish(), 0);
}

} // namespace
} // namespace pelu::test
