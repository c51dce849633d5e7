// PELU Browser used as a browser: downloads, the profile across starts, a page
// whose process dies, and the window on a scaled screen and made narrow.
#include "band_bus.h"
#include "desktop.h"
#include "host/browser_window.h"

#include <QFileInfo>
#include <QRect>

#include <gtest/gtest.h>

namespace pelu::test {
namespace {

// A local web server (tiny_http_server.py) for the duration of a test.
class WebServer {
public:
    WebServer()
    {
        if (process_.Start("python3", {QStringLiteral(PELU_TEST_HOST_DIR "/tiny_http_server.py")}))
            port_ = process_.ReadLine(20000).trimmed();
    }
    bool ready() const { return !port_.isEmpty(); }
    QString url(const QString& path) const { return "http://127.0.0.1:" + port_ + path; }

private:
    ChildProcess process_;
    QString port_;
};

QString test_output()
{
    const QString folder = QCoreApplication::applicationDirPath() + "/../test-output";
    QDir().mkpath(folder);
    return folder;
}

using test::write_bytes;
QString read_text(const QString& path) { return QString::fromUtf8(test::read_bytes(path)); }

// What BrowserRun's "geometry N" says: the window's frame and the screen's
// available area, in the screen's pixels.
struct Geometry {
    QRect frame;
    QRect screen;
    int minimum_width = 0;
};

std::optional<Geometry> geometry_of(BrowserRun& run, int window)
{
    run.send(QStringLiteral("geometry %1").arg(window));
    const auto line = run.wait_for(QStringLiteral("geometry %1 ").arg(window), 10000);
    if (!line)
        return std::nullopt;
    const QStringList w = line->split(' ');
    if (w.size() != 13)
        return std::nullopt;
    return Geometry{QRect(w[2].toInt(), w[3].toInt(), w[4].toInt(), w[5].toInt()),
                    QRect(w[7].toInt(), w[8].toInt(), w[9].toInt(), w[10].toInt()), w[12].toInt()};
}

TEST(DownloadNames, AFreeNameInTheFolderAndNeverAPath)
{
    TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    for (const char* name : {"notes.txt", "notes (1).txt", "music.tar.gz", "README"})
        write_bytes(folder + "/" + name, "mine");
    EXPECT_EQ(host::free_file_name(folder, "new.txt").toStdString(), "new.txt");
    EXPECT_EQ(host::free_file_name(folder, "notes.txt").toStdString(), "notes (2).txt");
    EXPECT_EQ(host::free_file_name(folder, "music.tar.gz").toStdString(), "music (1).tar.gz");
    EXPECT_EQ(host::free_file_name(folder, "README").toStdString(), "README (1)");
    // A download still running holds its name.
    EXPECT_EQ(host::free_file_name(folder, "song.mp3", {folder + "/song.mp3"}).toStdString(), "song (1).mp3");
    // A suggestion never leads out of the folder.
    EXPECT_EQ(host::free_file_name(folder, "../../etc/passwd").toStdString(), "passwd");
    EXPECT_EQ(host::free_file_name(folder, "..").toStdString(), "download");
    EXPECT_EQ(host::free_file_name(folder, "").toStdString(), "download");
}

TEST(BrowserInUse, DownloadsLandInTheDownloadFolderAndOverwriteNothing)
{
    WebServer server;
    ASSERT_TRUE(server.ready()) << "python3 could not serve";
    BrowserHome home;
    // The user's download folder, as the desktop names it.
    const QString downloads = home.root() + "/My Downloads";
    QDir().mkpath(home.root() + "/config");
    {
        QFile dirs(home.root() + "/config/user-dirs.dirs");
        ASSERT_TRUE(dirs.open(QIODevice::WriteOnly));
        dirs.write(("XDG_DOWNLOAD_DIR=\"" + downloads + "\"\n").toUtf8());
    }
    QDir().mkpath(downloads);
    write_bytes(downloads + "/notes.txt", "mine");

    BrowserRun run(home, {"about:blank"});
    ASSERT_TRUE(run.wait_for("navigated 1 ")) << run.errors().toStdString();
    for (int n : {1, 2}) {
        run.send("navigate 1 " + server.url("/download/notes.txt"));
        const auto done = run.wait_for("download 1 ");
        ASSERT_TRUE(done) << run.lines().join('\n').toStdString();
        EXPECT_TRUE(done->endsWith(QString(" completed %1/notes (%2).txt").arg(downloads).arg(n))) << done->toStdString();
    }
    EXPECT_EQ(read_text(downloads + "/notes.txt").toStdString(), "mine");
    EXPECT_EQ(read_text(downloads + "/notes (2).txt").toStdString(), "PELU download notes.txt\n");
    run.send("status 1");
    const auto status = run.wait_for("status 1");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->toStdString(), ("status 1 Downloaded notes (2).txt to " + downloads).toStdString());
    EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
}

TEST(BrowserInUse, TheProfileKeepsACookieAcrossTwoStarts)
{
    WebServer server;
    ASSERT_TRUE(server.ready()) << "python3 could not serve";
    BrowserHome home;
    {
        BrowserRun run(home, {server.url("/cookie/set")});
        ASSERT_TRUE(run.wait_for("navigated 1 ")) << run.errors().toStdString();
        EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
    }
    // Under the user's data and cache folders.
    EXPECT_TRUE(QFileInfo(home.root() + "/data/pelu-browser/profile").isDir());
    EXPECT_TRUE(QFileInfo(home.root() + "/cache/pelu-browser/profile").isDir());
    BrowserRun run(home, {server.url("/cookie/read")});
    ASSERT_TRUE(run.wait_for("navigated 1 "));
    run.send("title 1");
    const auto title = run.wait_for("title 1");
    ASSERT_TRUE(title);
    EXPECT_EQ(title->toStdString(), "title 1 cookie=visit=kept - PELU Browser");
    EXPECT_EQ(run.finish(), 0);
}

TEST(BrowserInUse, ACrashedPageShowsAMessageAndItsReloadButtonBringsThePageBack)
{
    BrowserHome home;
    home.set_dll_location();
    BrowserRun run(home);
    ASSERT_TRUE(run.wait_for("navigated 1 ")) << run.errors().toStdString();
    run.send("click crashReload");
    EXPECT_TRUE(run.wait_for("error no control crashReload", 10000)); // only with the message

    // The page's process ends as if killed.
    run.send("navigate 1 chrome://kill");
    ASSERT_TRUE(run.wait_for("page-crashed 1 ")) << run.lines().join('\n').toStdString();
    run.send("screenshot 1 " + test_output() + "/pelu-browser-page-crashed.png");
    ASSERT_TRUE(run.wait_for("screenshot 1"));
    run.send("click crashReload");
    ASSERT_TRUE(run.wait_for("clicked crashReload", 10000));
    const auto back = run.wait_for("navigated 1 ");
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->endsWith("/pages/index.html")) << back->toStdString();
    run.send("title 1");
    EXPECT_EQ(run.wait_for("title 1").value_or("").toStdString(), "title 1 Home - PELU Browser");
    run.send("click crashReload");
    EXPECT_TRUE(run.wait_for("error no control crashReload", 10000));
    EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
}

TEST(BrowserInUse, APageClosesThePopupItOpened)
{
    BrowserHome home;
    home.set_dll_location();
    write_bytes(home.storage() + "pages/opener.html",
               "<!DOCTYPE html><title>Opener</title><script>window.open('popup.html')</script>");
    write_bytes(home.storage() + "pages/popup.html",
               "<!DOCTYPE html><title>Popup</title><script>setTimeout(function () { window.close() }, 100)</script>");
    BrowserRun run(home, {"file://" + home.storage() + "pages/opener.html"});
    ASSERT_TRUE(run.wait_for("window-opened 2")) << run.lines().join('\n').toStdString();
    EXPECT_TRUE(run.wait_for("window-closed 2")) << run.lines().join('\n').toStdString();
    EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
}

// The real band in a browser on a desktop.
struct DesktopBand {
    Desktop desktop;
    BrowserHome home;
    std::optional<BrowserRun> run;
    QString window;

    DesktopBand(const QString& screen, const QString& scale)
        : desktop(screen)
    {
        QString output;
        if (desktop.display().isEmpty() || !SetUpBand(home, &output)) {
            ADD_FAILURE() << "no screen or no setup: " << output.toStdString();
            return;
        }
        QProcessEnvironment env = desktop.environment(home.environment());
        env.insert("QT_SCALE_FACTOR", scale);
        run.emplace(home, QStringList{}, env);
        if (!run->wait_for("band 1 ")) {
            ADD_FAILURE() << "no band: " << run->errors().toStdString();
            return;
        }
        window = desktop.browser_window(run->pid());
    }
    bool ready() const { return !window.isEmpty(); }
};

// By keyboard alone: the address bar, back and forward, reload, find, and Ctrl+Q
// ending the browser through the orderly quit, so the band saves.
TEST(BrowserOnADesktop, TheUsualKeys)
{
    DesktopBand band("1280x1024x24", "1");
    ASSERT_TRUE(band.ready());
    BrowserRun& run = *band.run;
    ASSERT_TRUE(run.wait_for("navigated 1 "));
    auto keys = [&](const QStringList& args) {
        band.desktop.xdotool({"windowactivate", "--sync", band.window});
        band.desktop.xdotool(args);
    };
    const QString second = band.home.storage() + "pages/second.html";
    keys({"key", "ctrl+l"});
    keys({"type", "--delay", "5", second}); // a path, not an address
    keys({"key", "Return"});
    ASSERT_TRUE(run.wait_for("navigated 1 ").value_or("").endsWith(" file://" + second))
        << run.lines().join('\n').toStdString() << run.errors().toStdString();
    run.send("address 1");
    EXPECT_EQ(run.wait_for("address 1").value_or("").toStdString(), ("address 1 file://" + second).toStdString()); // the loaded URL

    keys({"key", "alt+Left"});
    EXPECT_TRUE(run.wait_for("navigated 1 ").value_or("").endsWith("/pages/index.html"));
    keys({"key", "alt+Right"});
    EXPECT_TRUE(run.wait_for("navigated 1 ").value_or("").endsWith("/pages/second.html"));
    for (const char* reload : {"F5", "ctrl+r"}) {
        keys({"key", reload});
        EXPECT_TRUE(run.wait_for("loaded 1 ", 20000).value_or("").endsWith("/pages/second.html")) << reload;
    }

    // Find in page: the matches counted, Esc closes the bar.
    keys({"key", "ctrl+f"});
    keys({"type", "--delay", "5", "Second"});
    EXPECT_TRUE(wait_until([&] {
        run.send("text findResult");
        return run.wait_for("text findResult", 5000).value_or("") == "text findResult 1 of 1";
    }, 10000));
    keys({"key", "Escape"});
    EXPECT_TRUE(wait_until([&] {
        run.send("text findText");
        return run.wait_for("error no text findText", 1000).has_value();
    }, 10000));

    // Zoom steps, said in the status bar.
    auto status_says = [&](const QString& text) {
        return wait_until([&] {
            run.send("status 1");
            return run.wait_for("status 1", 5000).value_or("") == "status 1 " + text;
        }, 10000);
    };
    for (const auto& [key, said] : {std::pair{"ctrl+plus", "Zoom 110 %"}, {"ctrl+0", "Zoom 100 %"},
                                    {"ctrl+minus", "Zoom 90 %"}}) {
        keys({"key", key});
        EXPECT_TRUE(status_says(said)) << key;
    }

    // A hovered link's target shows in the status bar.
    write_bytes(band.home.storage() + "pages/link.html",
               "<!DOCTYPE html><title>Link</title><a href=\"https://example.invalid/target\" "
               "style=\"display:block;height:100vh\">target</a>");
    run.send("navigate 1 file://" + band.home.storage() + "pages/link.html");
    ASSERT_TRUE(run.wait_for("navigated 1 "));
    keys({"mousemove", "--window", band.window, "300", "400"});
    EXPECT_TRUE(status_says("https://example.invalid/target"));

    keys({"key", "ctrl+q"});
    EXPECT_EQ(run.wait_end(30000), 0) << run.errors().toStdString();
    platform::registry::Store store(band.home.registry());
    auto xpd = store.open_key(platform::registry::Hive::CurrentUser, "Software\\PELU\\XPD");
    ASSERT_TRUE(xpd);
    EXPECT_GE(store.values(*xpd).size(), 8u); // "DLL Location" and the seven stored properties
}

TEST(BrowserOnADesktop, AtScaleTwoTheWindowOpensInsideTheScreen)
{
    DesktopBand band("1920x1200x24", "2");
    ASSERT_TRUE(band.ready());
    // The window manager may place the frame a moment after the band shows.
    std::optional<Geometry> at;
    wait_until([&] {
        at = geometry_of(*band.run, 1);
        return at && at->frame.width() > 0 && band.desktop.xdotool({"getwindowgeometry", band.window}).contains("Position");
    }, 10000);
    ASSERT_TRUE(at);
    EXPECT_EQ(at->screen, QRect(0, 0, 1920, 1200));
    EXPECT_TRUE(at->screen.contains(at->frame)) << at->frame.x() << "," << at->frame.y() << " "
                                                << at->frame.width() << "x" << at->frame.height();
    // What the X server says about the window itself.
    const QString shell = band.desktop.xdotool({"getwindowgeometry", "--shell", band.window});
    auto value = [&](const QString& key) { return shell.section(key + "=", 1, 1).section('\n', 0, 0).toInt(); };
    const QRect client(value("X"), value("Y"), value("WIDTH"), value("HEIGHT"));
    EXPECT_TRUE(QRect(0, 0, 1920, 1200).contains(client)) << shell.toStdString();
    band.run->send("bands 1");
    EXPECT_TRUE(band.run->wait_for("bands 1").value_or("").endsWith(" 673:1:804x28:gripper"));
    band.run->send("screenshot 1 " + test_output() + "/pelu-browser-2x.png");
    EXPECT_TRUE(band.run->wait_for("screenshot 1"));
    EXPECT_EQ(band.run->finish(), 0) << band.run->errors().toStdString();
}

TEST(BrowserOnADesktop, ANarrowWindowClipsTheBandAndItsChevronShowsTheRest)
{
    DesktopBand band("1280x1024x24", "1");
    ASSERT_TRUE(band.ready());
    BrowserRun& run = *band.run;
    // With room for the whole band there is no chevron.
    run.send("click bandChevron");
    EXPECT_TRUE(run.wait_for("error no control bandChevron", 10000));

    // The user narrows the window as far as the window manager lets them.
    band.desktop.xdotool({"windowsize", band.window, "360", "600"});
    std::optional<Geometry> at;
    EXPECT_TRUE(wait_until([&] {
        at = geometry_of(run, 1);
        return at && at->frame.width() < 420;
    }, 10000)) << (at ? at->frame.width() : -1);
    ASSERT_TRUE(at);
    EXPECT_LT(at->minimum_width, 360);
    // The band keeps its size, clipped.
    run.send("bands 1");
    EXPECT_TRUE(run.wait_for("bands 1").value_or("").endsWith(" 673:1:804x28:gripper"));
    run.send("screenshot 1 " + test_output() + "/pelu-browser-narrow.png");
    ASSERT_TRUE(run.wait_for("screenshot 1"));
    run.send("click bandChevron");
    ASSERT_TRUE(run.wait_for("clicked bandChevron", 10000));
    run.send("screenshot 1 " + test_output() + "/pelu-browser-narrow-chevron.png");
    ASSERT_TRUE(run.wait_for("screenshot 1"));
    EXPECT_EQ(run.finish(), 0) << run.errors().toStdString();
}

} // namespace
} // namespace pelu::test
