// pelu-browser [--automation] [URL]: PELU Browser, a small web browser that loads
// the helper objects registered for browsers, as the player band is.
#include "host/automation.h"
#include "host/browser_window.h"
#include "host/helper_objects.h"
#include "platform/registry/registry.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>
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
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("pelu-browser"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("PELU Browser: a small web browser with the PELU band."));
    parser.addHelpOption();
    const QCommandLineOption automation_option(
        QStringLiteral("automation"), QStringLiteral("Read commands from standard input and report events."));
    parser.addOption(automation_option);
    parser.addPositionalArgument(QStringLiteral("url"), QStringLiteral("The page to open (default: the home page)."));
    parser.process(app);

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
