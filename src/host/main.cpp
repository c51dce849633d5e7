// pelu-browser [--automation] [URL]: PELU Browser, a small web browser that loads
// the helper objects registered for browsers, as the player band is.
#include "host/app_icon.h"
#include "host/automation.h"
#include "host/browser_window.h"
#include "host/helper_objects.h"
#include "host/page_view.h"
#include "host/quit_signals.h"
#include "platform/registry/registry.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <unistd.h>

namespace {

void report(const std::string& message)
{
    std::fprintf(stderr, "pelu-browser: %s\n", message.c_str());
}

bool has_display()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// An MP3 given on the command line goes to the band that already runs in this
// session (there is one band per session), as the desktop's media widgets
// hand it files. The exit code when it was handed over or refused; nothing when
// no band answers, so this browser starts as usual.
std::optional<int> hand_to_running_band(const QString& argument)
{
    const QUrl url = QUrl::fromUserInput(argument, QDir::currentPath(), QUrl::AssumeLocalFile);
    if (!url.isLocalFile() || !url.toLocalFile().endsWith(QStringLiteral(".mp3"), Qt::CaseInsensitive) ||
        !QFileInfo(url.toLocalFile()).isFile())
        return std::nullopt;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.mpris.MediaPlayer2.pelu"),
                                                       QStringLiteral("/org/mpris/MediaPlayer2"),
                                                       QStringLiteral("org.mpris.MediaPlayer2.Player"),
                                                       QStringLiteral("OpenUri"));
    call << QString::fromUtf8(url.toEncoded());
    const QDBusMessage reply = bus.call(call, QDBus::Block, 10000);
    if (reply.type() == QDBusMessage::ReplyMessage)
        return 0;
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return std::nullopt;
    report("the running band could not open " + url.toLocalFile().toStdString() + ": " +
           reply.errorMessage().toStdString());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (!has_display()) {
        report("no display to open a window on (DISPLAY is not set); start it in a desktop session, "
               "or under a virtual display with xvfb-run");
        return 1;
    }
    // The page engine's sandbox refuses to run for root; a root session runs the
    // pages without it rather than not at all.
    if (geteuid() == 0 && !std::getenv("QTWEBENGINE_DISABLE_SANDBOX"))
        setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 1);
    // The widgets' repaints are small (a step of the band's status line, a
    // meter); sent through a shared-memory segment, each costs the main thread a
    // second wake-up for the X server's completion notice, sent as a plain
    // image it does not. The page draws through OpenGL either way.
    if (!std::getenv("QT_XCB_NO_MITSHM"))
        setenv("QT_XCB_NO_MITSHM", "1", 1);
    pelu::host::PageEngine::InitializeBeforeApplication();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelu-browser"));
    QApplication::setWindowIcon(pelu::host::app_icon());
    QGuiApplication::setDesktopFileName(QStringLiteral("pelu-browser"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("PELU Browser: a small web browser with the PELU band."));
    parser.addHelpOption();
    const QCommandLineOption automation_option(
        QStringLiteral("automation"), QStringLiteral("Read commands from standard input and report events."));
    parser.addOption(automation_option);
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("The page to open (default: the home page)."));
    parser.process(app);

    if (!parser.positionalArguments().isEmpty())
        if (const std::optional<int> handed = hand_to_running_band(parser.positionalArguments().first()))
            return *handed;

    pelu::host::HelperObjects helpers(&report);
    try {
        helpers.Load(*pelu::platform::registry::Store::open_default());
    } catch (const std::exception& e) {
        report(std::string("cannot open the registry: ") + e.what());
    }
    QString home_problem;
    const QUrl home = pelu::host::find_home_page(home_problem);
    int result = 0;
    {
        pelu::host::BrowserSession session(helpers, home, home_problem);
        // A logout or a kill closes the windows as the user would, so the band
        // keeps what was just done.
        pelu::host::QuitSignals quit_signals([&session](int) { session.CloseAll(); });
        if (parser.isSet(automation_option))
            new pelu::host::Automation(session);
        const QStringList urls = parser.positionalArguments();
        session.OpenWindow(urls.isEmpty() ? QUrl() : QUrl::fromUserInput(urls.first()));
        result = QApplication::exec();
        // Windows still open go now, while the application object exists.
        for (pelu::host::BrowserWindow* window : session.windows())
            delete window;
    }
    helpers.ReleaseFactories();
    return result;
}
