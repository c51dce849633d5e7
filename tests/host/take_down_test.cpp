// The band's take-down in the real browser: every way the browser ends (a
// window closed with a panel, a menu or a dialog open, a remote Quit, a
// logout's signal) runs the orderly quit, ends the nested loops before it
// destroys anything, and keeps what the user did. Remote calls never bring up
// a dialog. Run in the AddressSanitizer build as well.
#include "mp3_fixtures.h"
#include "band_bus.h"
#include "desktop.h"
#include "playlist/media_list.h"

#include <QFileInfo>
#include <QUrl>

#include <signal.h>

namespace pelu::test {
namespace {

// A home with the band set up and a resume list of one song; the song to add.
struct BandHome {
    BrowserHome home;
    PrivateBus bus;
    QString new_song;
    bool ready = false;

    BandHome()
    {
        QString output;
        if (bus.address().isEmpty() || !SetUpBand(home, &output)) {
            ADD_FAILURE() << "no bus or no setup: " << output.toStdString();
            return;
        }
        const QString old_song = home.storage() + "old.mp3";
        new_song = home.storage() + "New Song.mp3";
        write_file(old_song.toStdString(), encode_mp3(cbr128_stereo_44k(1.0)));
        write_file(new_song.toStdString(), encode_mp3(cbr128_stereo_44k(20.0)));
        ready = home.pelu({"playlist", "make", home.storage() + "es.xes", old_song}, &output) == 0;
        EXPECT_TRUE(ready) << output.toStdString();
    }
    std::size_t resume_rows() const
    {
        std::vector<player::PlaylistRow> rows;
        player::LoadMediaListFile(home.storage() + "es.xes", rows);
        return rows.size();
    }
    // The stored settings (written when the form is destroyed).
    bool settings_saved() const { return stored_settings() == 7; }
    int stored_settings() const
    {
        platform::registry::Store store(home.registry());
        auto key = store.open_key(platform::registry::Hive::CurrentUser, "Software\\PELU\\XPD");
        int count = 0;
        for (const char* name : {"storedlocx", "emberxix", "lasthighx", "audiox.FileName", "ViewPELUSpectrum1.Checked",
                                 "VStereoLMeter1.Checked", "VStereoRMeter1.Checked"})
            count += key && store.query(*key, name).has_value();
        return count;
    }
};

// A browser with the band, and a client of its remote control.
struct BandRun {
    BrowserRun run;
    BusClient client;
    bool ready = false;

    BandRun(const BandHome& home, const QStringList& args = {})
        : run(home.home, args, WithBus(home.home, home.bus)),
          client(home.bus.address(), QStringLiteral("take-down-%1").arg(++runs), QString(), kMprisPath)
    {
        if (!run.started() || !run.wait_for("band 1 ")) {
            ADD_FAILURE() << "no band: " << run.lines().join('\n').toStdString() << run.errors().toStdString();
            return;
        }
        const QString player = WaitForPlayer(client);
        ready = !player.isEmpty();
        EXPECT_TRUE(ready) << "the band's remote control did not appear";
        client.SetService(player);
    }
    QDBusMessage OpenUri(const QString& path)
    {
        return client.Call(kMprisPlayer, "OpenUri", {QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)});
    }
    // Waits until a window whose class name contains `kind` shows.
    bool WaitForPopup(const QString& kind)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000) {
            if (!run.popups().filter(kind).isEmpty())
                return true;
            QThread::msleep(100);
        }
        return false;
    }
    static inline int runs = 0;
};

TEST(OrderlyQuit, EachSignalKeepsTheNewRowAndTheSettings)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        BandHome home;
        ASSERT_TRUE(home.ready);
        BandRun band(home);
        ASSERT_TRUE(band.ready);
        const QDBusMessage reply = band.OpenUri(home.new_song);
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();

        // At once, before the band's own autosave: only the orderly quit saves it.
        QElapsedTimer quit;
        quit.start();
        ::kill(pid_t(band.run.pid()), signal);
        EXPECT_EQ(band.run.wait_end(20000), 0) << band.run.errors().toStdString();
        std::printf("[ quit time ] signal %d: %lld ms\n", signal, static_cast<long long>(quit.elapsed()));
        EXPECT_EQ(home.resume_rows(), 2u);
        EXPECT_TRUE(home.settings_saved());
    }
}

// A second signal does not wait for an orderly quit that is held up: here the
// settings' save waits for another program's write to the store.
TEST(OrderlyQuit, ASecondSignalEndsAtOnce)
{
    BandHome home;
    ASSERT_TRUE(home.ready);
    BandRun band(home);
    ASSERT_TRUE(band.ready);
    platform::registry::Store store(home.home.registry());
    store.transaction([&] {
        store.create_key(platform::registry::Hive::CurrentUser, "Software\\Another Program");
        ::kill(pid_t(band.run.pid()), SIGTERM);
        ASSERT_EQ(band.run.wait_end(1000), -2) << "the quit should be waiting for the store";
        QElapsedTimer second;
        second.start();
        ::kill(pid_t(band.run.pid()), SIGTERM);
        EXPECT_EQ(band.run.wait_end(5000), 128 + SIGTERM);
        std::printf("[ quit time ] second signal: %lld ms\n", static_cast<long long>(second.elapsed()));
    });
}

// Whatever the user has open when the window goes, the browser ends cleanly and
// the band has saved: the panels, the main menu, a file dialog, a page's alert.
TEST(TakeDown, ClosingWithAPanelMenuOrDialogOpenEndsCleanly)
{
    struct Case {
        const char* name;
        QStringList clicks; // in order; each opens something before the next
        QString popup;      // what shows before the close
        const char* close;  // "close 1", "quit" or "mpris"
    };
    const std::vector<Case> cases = {
        {"playlist panel, window closed", {"ToolbarButton971"}, "", "close 1"},
        {"volume panel, window closed", {"Image14"}, "", "close 1"},
        {"equalizer panel, remote Quit", {"ImageButton7"}, "", "mpris"},
        {"main menu, window closed", {"ToolbarButton972"}, "", "close 1"},
        {"file dialog over the playlist panel, remote Quit", {"ToolbarButton971", "KamButton7"}, "QFileDialog", "mpris"},
        {"read-error dialog over the locator, window closed",
         {"ToolbarButton971", "ToolbarButton973", "key PTShellList1 Ctrl+A", "KamButton1"}, "QMessageBox", "close 1"},
        {"page alert, window closed", {}, "QMessageBox", "close 1"},
        {"page alert, remote Quit", {}, "QMessageBox", "mpris"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BandHome home;
        ASSERT_TRUE(home.ready);
        home.home.write_page("alert.html", "Alert");
        // The locator opens on a folder whose one MP3 cannot be read.
        const QString broken = home.home.storage() + "broken/";
        QDir().mkpath(broken);
        write_file((broken + "broken.mp3").toStdString(), std::vector<std::uint8_t>(4000, 'x'));
        {
            platform::registry::Store store(home.home.registry());
            store.set_value(store.create_key(platform::registry::Hive::CurrentUser, "Software\\PELU"),
                            platform::registry::Value::string("LocatorFolder", broken));
        }
        BandRun band(home);
        ASSERT_TRUE(band.ready);
        ASSERT_EQ(band.OpenUri(home.new_song).type(), QDBusMessage::ReplyMessage);
        if (c.clicks.isEmpty()) {
            QFile page(home.home.storage() + "pages/alert.html");
            ASSERT_TRUE(page.open(QIODevice::WriteOnly));
            page.write("<!DOCTYPE html><html><body><script>setTimeout(function(){alert('hello')},10)</script>"
                       "</body></html>");
            page.close();
            band.run.send("navigate 1 " + QUrl::fromLocalFile(page.fileName()).toString());
        }
        for (const QString& step : c.clicks) {
            const bool key = step.startsWith("key ");
            band.run.send(key ? step : "click " + step);
            const QString done = key ? "keyed " + step.section(' ', 1, 1) : "clicked " + step;
            ASSERT_TRUE(band.run.wait_for(done, 10000)) << band.run.lines().join('\n').toStdString();
            // The playlist panel opens from a timer a moment after the click.
            ASSERT_TRUE(wait_until([&] { return !band.run.popups().isEmpty(); }, 10000));
        }
        if (!c.popup.isEmpty()) {
            ASSERT_TRUE(band.WaitForPopup(c.popup)) << band.run.popups().join(' ').toStdString();
        }
        ASSERT_FALSE(band.run.popups().isEmpty());

        if (QString(c.close) == "mpris")
            EXPECT_EQ(band.client.Call(kMprisRoot, "Quit").type(), QDBusMessage::ReplyMessage);
        else
            band.run.send(c.close);
        const int code = band.run.wait_end(20000);
        const QString errors = band.run.errors();
        EXPECT_EQ(code, 0) << errors.toStdString();
        EXPECT_FALSE(errors.contains("Sanitizer")) << errors.toStdString();
        EXPECT_EQ(home.resume_rows(), 2u);
        EXPECT_TRUE(home.settings_saved());
    }
}

// A file the band cannot play, opened from the desktop: refused at once with
// the reason, no dialog, nothing added.
TEST(RemoteOpen, AFileThatCannotBePlayedIsRefusedAtOnceWithoutAWindow)
{
    BandHome home;
    ASSERT_TRUE(home.ready);
    const QString text_as_mp3 = home.home.root() + "/notes.mp3";
    write_file(text_as_mp3.toStdString(), std::vector<std::uint8_t>(4000, 'x'));
    BandRun band(home);
    ASSERT_TRUE(band.ready);
    for (const QString& path : {QString("/etc/hostname"), text_as_mp3}) {
        SCOPED_TRACE(path.toStdString());
        QElapsedTimer answer;
        answer.start();
        const QDBusMessage reply = band.OpenUri(path);
        EXPECT_LT(answer.elapsed(), 1000);
        EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
        EXPECT_EQ(reply.errorName(), QDBusError::errorString(QDBusError::NotSupported));
        EXPECT_TRUE(reply.errorMessage().contains(path)) << reply.errorMessage().toStdString();
        EXPECT_EQ(band.run.popups(), QStringList{});
    }
    EXPECT_EQ(band.run.finish(), 0) << band.run.errors().toStdString();
    EXPECT_EQ(home.resume_rows(), 1u); // nothing was added
}

// A long import holds the store's write lock: a band that starts meanwhile
// still finds its storage folder, and one that closes meanwhile waits for the
// import and stores every value.
TEST(BusyStore, ABandStartingAndClosingDuringALargeImportKeepsEverything)
{
    BandHome home;
    ASSERT_TRUE(home.ready);
    const QString reg_path = home.home.root() + "/large.reg";
    {
        QFile reg(reg_path);
        ASSERT_TRUE(reg.open(QIODevice::WriteOnly));
        reg.write("REGEDIT4\n\n");
        const QByteArray data(40, 'x');
        for (int key = 0; reg.size() < 60 * 1024 * 1024; ++key) {
            QByteArray block = "[HKEY_CURRENT_USER\\Software\\Large\\K" + QByteArray::number(key) + "]\n";
            for (int value = 0; value < 50; ++value)
                block += "\"v" + QByteArray::number(value) + "\"=\"" + data + "\"\n";
            reg.write(block + "\n");
        }
    }
    QProcess import;
    import.setProcessEnvironment(home.home.environment());
    import.setProcessChannelMode(QProcess::MergedChannels);
    import.start(QCoreApplication::applicationDirPath() + "/pelu", {"reg", "import", reg_path});
    ASSERT_TRUE(import.waitForStarted());
    // Parsed, and writing: its transaction spills into the write-ahead log.
    ASSERT_TRUE(wait_until([&] { return QFileInfo(home.home.registry() + "-wal").size() > 0; }, 120000));

    BandRun band(home);
    ASSERT_TRUE(band.ready);
    ASSERT_EQ(band.OpenUri(home.new_song).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(import.state(), QProcess::Running) << "the import ended before the band closed: nothing was tested";
    EXPECT_EQ(band.run.finish(150000), 0) << band.run.errors().toStdString();
    ASSERT_TRUE(import.waitForFinished(150000));
    EXPECT_EQ(import.exitCode(), 0) << import.readAll().toStdString();

    EXPECT_EQ(home.resume_rows(), 2u); // in the storage folder, not the current one
    EXPECT_EQ(home.stored_settings(), 7);
    QString value;
    EXPECT_EQ(home.home.pelu({"reg", "get", "HKEY_CURRENT_USER\\Software\\Large\\K100", "v49"}, &value), 0);
    EXPECT_EQ(value.trimmed(), QString(40, 'x'));
}

// One band per user session: a second browser gets a notice instead of a band,
// and a browser started with an MP3 hands it to the running band and ends.
TEST(OneBandPerSession, ASecondBrowserGetsANoticeAndAFileGoesToTheRunningBand)
{
    BandHome home;
    ASSERT_TRUE(home.ready);
    BandRun first(home);
    ASSERT_TRUE(first.ready);
    const auto band_of = [](const QString& line) { return line.section(' ', 3, 3); };
    EXPECT_EQ(band_of(first.run.lines().filter("band 1 ").value(0)), "673");
    {
        BrowserRun second(home.home, {}, WithBus(home.home, home.bus));
        const auto notice = second.wait_for("band 1 ");
        ASSERT_TRUE(notice) << second.lines().join('\n').toStdString();
        EXPECT_EQ(band_of(*notice), "674"); // the notice, not the band
        EXPECT_EQ(second.finish(), 0) << second.errors().toStdString();
    }
    BrowserRun handing(home.home, {home.new_song}, WithBus(home.home, home.bus));
    EXPECT_EQ(handing.wait_end(20000), 0) << handing.errors().toStdString();
    EXPECT_TRUE(handing.lines().filter("window-opened").isEmpty()); // it ended without a window
    EXPECT_EQ(AsMap(first.client.Get(kMprisPlayer, "Metadata")).value("xesam:title").toString(), "New Song");
    EXPECT_EQ(first.run.finish(), 0) << first.run.errors().toStdString();
    EXPECT_EQ(home.resume_rows(), 2u);
}

// A remote call that arrives while a dialog's loop runs waits for the dialog
// to return instead of running inside it.
TEST(RemoteOpen, ACallDuringADialogWaitsForItToReturn)
{
    BandHome home;
    ASSERT_TRUE(home.ready);
    BandRun band(home);
    ASSERT_TRUE(band.ready);
    band.run.send("click ToolbarButton971");
    ASSERT_TRUE(wait_until([&] { return !band.run.popups().isEmpty(); }, 10000));
    band.run.send("click KamButton7");
    ASSERT_TRUE(band.WaitForPopup("QFileDialog"));

    QDBusMessage open = QDBusMessage::createMethodCall(WaitForPlayer(band.client), kMprisPath, kMprisPlayer, "OpenUri");
    open << QUrl::fromLocalFile(home.new_song).toString(QUrl::FullyEncoded);
    QDBusPendingCall pending = band.client.connection().asyncCall(open, 60000);
    wait_until([] { return false; }, 500);
    EXPECT_FALSE(pending.isFinished()) << "answered inside the dialog's loop";
    EXPECT_FALSE(band.run.popups().filter("QFileDialog").isEmpty());

    band.run.send("close 1");
    EXPECT_TRUE(wait_until([&] { return pending.isFinished(); }, 30000));
    EXPECT_EQ(band.run.wait_end(30000), 0) << band.run.errors().toStdString();
}

// The first page counts as the first navigation, whatever it is.
TEST(FirstPage, AboutBlankBringsTheBand)
{
    BandHome home;
    ASSERT_TRUE(home.ready);
    BrowserRun run(home.home, {"about:blank"}, WithBus(home.home, home.bus));
    ASSERT_TRUE(run.started());
    EXPECT_TRUE(run.wait_for("band 1 ")) << run.lines().join('\n').toStdString();
    EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
}

} // namespace
} // namespace pelu::test

namespace pelu::test {
namespace {

// The window manager's close (Alt+F4 on the browser window) and the browser's
// own Ctrl+W, with a panel open on top.
TEST(TakeDownOnADesktop, WindowManagerCloseAndCtrlWWithAPanelOpen)
{
    Desktop desktop;
    ASSERT_FALSE(desktop.display().isEmpty()) << "Xvfb or openbox did not start";
    struct Case {
        const char* control;
        const char* keys;
    };
    for (const Case& c : {Case{"ToolbarButton971", "alt+F4"}, Case{"Image14", "ctrl+w"}, Case{"ImageButton7", "alt+F4"}}) {
        SCOPED_TRACE(std::string(c.control) + " " + c.keys);
        BandHome home;
        ASSERT_TRUE(home.ready);
        BrowserRun run(home.home, {}, desktop.environment(WithBus(home.home, home.bus)));
        ASSERT_TRUE(run.wait_for("band 1 ")) << run.errors().toStdString();
        const QString window = desktop.xdotool(
            {"search", "--sync", "--all", "--pid", QString::number(run.pid()), "--name", "PELU Browser"});
        ASSERT_FALSE(window.isEmpty());
        run.send(QString("click ") + c.control);
        ASSERT_TRUE(run.wait_for(QString("clicked ") + c.control, 10000));
        ASSERT_TRUE(wait_until([&] { return !run.popups().isEmpty(); }, 10000));

        // The panel takes the keyboard when it opens, and its activation may
        // reach the window manager late on a loaded machine: the browser window
        // is activated only after that, so the keys go where a user's would.
        const QString browser = window.section('\n', 0, 0);
        wait_until([&] { return desktop.xdotool({"getactivewindow"}) != browser; }, 1500);
        wait_until([&] {
            desktop.xdotool({"windowactivate", "--sync", browser});
            return desktop.xdotool({"getactivewindow"}) == browser;
        }, 5000);
        desktop.xdotool({"key", c.keys});
        const int code = run.wait_end(30000);
        const QString errors = run.errors();
        EXPECT_EQ(code, 0) << errors.toStdString();
        EXPECT_FALSE(errors.contains("Sanitizer")) << errors.toStdString();
        EXPECT_TRUE(home.settings_saved());
    }
}

} // namespace
} // namespace pelu::test
