#include "host/automation.h"

#include "host/browser_window.h"
#include "host/rebar.h"

#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QMouseEvent>
#include <QPointer>
#include <QTimer>
#include <QSocketNotifier>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace pelu::host {

double ms_since_process_start()
{
    // Field 22 of /proc/self/stat: the start time in clock ticks after boot.
    static const double start_ms = [] {
        QFile stat(QStringLiteral("/proc/self/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            return -1.0;
        const QByteArray text = stat.readAll();
        const qsizetype close = text.lastIndexOf(')'); // the name may hold blanks
        const QList<QByteArray> fields = text.mid(close + 2).split(' ');
        // After the name, field 3 is at index 0: field 22 is at index 19.
        if (fields.size() < 20)
            return -1.0;
        return fields[19].toDouble() * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    }();
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const double now_ms = static_cast<double>(now.tv_sec) * 1000.0 + static_cast<double>(now.tv_nsec) / 1e6;
    return start_ms < 0 ? 0.0 : now_ms - start_ms;
}

Automation::Automation(BrowserSession& session) : QObject(&session), session_(session)
{
    input_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
    connect(input_, &QSocketNotifier::activated, this, &Automation::ReadCommands);
    connect(&session_, &BrowserSession::WindowOpened, this, &Automation::Watch);
    connect(&session_, &BrowserSession::WindowClosed, this, [this](int number) {
        Say(QStringLiteral("window-closed %1 %2").arg(number).arg(ms_since_process_start(), 0, 'f', 1));
    });
    connect(&session_, &BrowserSession::DownloadFinished, this,
            [this](int number, const QString& path, bool completed, const QString& problem) {
                Say(QStringLiteral("download %1 %2 %3 %4")
                        .arg(number)
                        .arg(ms_since_process_start(), 0, 'f', 1)
                        .arg(completed ? QStringLiteral("completed") : QStringLiteral("failed"),
                             completed ? path : problem));
            });
}

void Automation::Watch(BrowserWindow* window)
{
    const int number = window->number();
    Say(QStringLiteral("window-opened %1 %2").arg(number).arg(ms_since_process_start(), 0, 'f', 1));
    connect(window, &BrowserWindow::LoadFinished, this, [this, number](const QUrl& url) {
        Say(QStringLiteral("loaded %1 %2 %3")
                .arg(number)
                .arg(ms_since_process_start(), 0, 'f', 1)
                .arg(url.toString()));
    });
    connect(window, &BrowserWindow::NavigationCompleted, this, [this, number](const QUrl& url) {
        Say(QStringLiteral("navigated %1 %2 %3")
                .arg(number)
                .arg(ms_since_process_start(), 0, 'f', 1)
                .arg(url.toString()));
    });
    connect(window, &BrowserWindow::PageCrashed, this, [this, number](int status, int exit_code) {
        Say(QStringLiteral("page-crashed %1 %2 %3 %4")
                .arg(number)
                .arg(ms_since_process_start(), 0, 'f', 1)
                .arg(status)
                .arg(exit_code));
    });
    connect(window, &BrowserWindow::BandInserted, this, [this, window, number](int index, unsigned) {
        Say(QStringLiteral("band %1 %2 %3")
                .arg(number)
                .arg(ms_since_process_start(), 0, 'f', 1)
                .arg(BandText(window, index).replace(':', ' ')));
    });
}

QString Automation::BandText(BrowserWindow* window, int index) const
{
    const QWidget* child = window->rebar()->band_child(index);
    return QStringLiteral("%1:%2:%3x%4:%5")
        .arg(window->rebar()->band_id(index))
        .arg(window->rebar()->row_of(index))
        .arg(child ? child->width() : 0)
        .arg(child ? child->height() : 0)
        .arg(window->rebar()->has_gripper(index) ? QStringLiteral("gripper") : QStringLiteral("-"));
}

void Automation::ReadCommands()
{
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) {
        // The other end is gone: nobody is left to drive the browser.
        input_->setEnabled(false);
        if (n == 0)
            Run(QStringLiteral("quit"));
        return;
    }
    pending_.append(buffer, n);
    qsizetype end;
    while ((end = pending_.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(pending_.left(end)).trimmed();
        pending_.remove(0, end + 1);
        if (!line.isEmpty())
            Run(line);
    }
}

void Automation::Run(const QString& line)
{
    const QStringList words = line.split(' ', Qt::SkipEmptyParts);
    const QString command = words.value(0);
    BrowserWindow* window = words.size() > 1 ? session_.window(words[1].toInt()) : nullptr;
    const bool needs_window = command == "navigate" || command == "back" || command == "bands" ||
                              command == "screenshot" || command == "close" || command == "geometry" ||
                              command == "resize" || command == "title" || command == "status" ||
                              command == "address";
    if (needs_window && !window) {
        Say(QStringLiteral("error no window %1").arg(words.value(1)));
        return;
    }
    if (command == "navigate" && words.size() == 3) {
        window->Navigate(QUrl::fromUserInput(words[2]));
    } else if (command == "back") {
        window->SendBackspaceCommand();
    } else if (command == "new-window") {
        session_.OpenWindow();
    } else if (command == "bands") {
        QStringList bands;
        for (int i = 0; i < window->rebar()->band_count(); ++i)
            bands << BandText(window, i);
        Say(QStringLiteral("bands %1 %2").arg(window->number()).arg(bands.join(' ')));
    } else if (command == "screenshot" && words.size() == 3) {
        const bool saved = window->Grab().save(words[2], "PNG");
        Say(saved ? QStringLiteral("screenshot %1 %2").arg(window->number()).arg(words[2])
                  : QStringLiteral("error cannot save %1").arg(words[2]));
    } else if (command == "close") {
        window->close();
    } else if (command == "geometry") {
        // In the screen's pixels: the frame as the window manager placed it.
        const qreal ratio = window->devicePixelRatioF();
        const QRect frame = window->frameGeometry();
        const QRect screen = window->screen()->availableGeometry();
        auto pixels = [ratio](const QRect& r) {
            return QStringLiteral("%1 %2 %3 %4")
                .arg(qRound(r.x() * ratio))
                .arg(qRound(r.y() * ratio))
                .arg(qRound(r.width() * ratio))
                .arg(qRound(r.height() * ratio));
        };
        Say(QStringLiteral("geometry %1 %2 screen %3 minimum-width %4")
                .arg(window->number())
                .arg(pixels(frame), pixels(screen))
                .arg(qRound(window->minimumSizeHint().width() * ratio)));
    } else if (command == "resize" && words.size() == 4) {
        window->resize(words[2].toInt(), words[3].toInt());
        Say(QStringLiteral("resized %1 %2x%3").arg(window->number()).arg(window->width()).arg(window->height()));
    } else if (command == "title") {
        Say(QStringLiteral("title %1 %2").arg(window->number()).arg(window->windowTitle()));
    } else if (command == "address") {
        Say(QStringLiteral("address %1 %2").arg(window->number()).arg(window->address_text()));
    } else if (command == "status") {
        Say(QStringLiteral("status %1 %2").arg(window->number()).arg(window->status_text()));
    } else if (command == "click" && words.size() == 2) {
        Click(words[1]);
    } else if (command == "key" && words.size() == 3) {
        Key(words[1], words[2]);
    } else if (command == "text" && words.size() == 2) {
        Text(words[1]);
    } else if (command == "popups") {
        // The windows besides the browser windows that are showing: panels,
        // menus, dialogs.
        QStringList shown;
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible() && !qobject_cast<BrowserWindow*>(top))
                shown << QString::fromLatin1(top->metaObject()->className());
        shown.sort();
        Say(QStringLiteral("popups %1").arg(shown.join(' ')).trimmed());
    } else if (command == "quit") {
        session_.CloseAll();
    } else {
        Say(QStringLiteral("error unknown command: %1").arg(line));
    }
}

namespace {

// The last showing widget of that object name, in any window.
QWidget* ShowingControl(const QString& name)
{
    QWidget* target = nullptr;
    for (QWidget* widget : QApplication::allWidgets())
        if (widget->objectName() == name && widget->isVisible())
            target = widget;
    return target;
}

} // namespace

void Automation::Click(const QString& name)
{
    QWidget* target = ShowingControl(name);
    if (!target) {
        Say(QStringLiteral("error no control %1").arg(name));
        return;
    }
    // Posted, so that a control whose click runs a loop of its own (a panel, a
    // menu, a dialog) runs it from the main loop, not inside this command.
    const QPointF centre = QRectF(target->rect()).center();
    const QPointF global = target->mapToGlobal(centre);
    QPointer<QWidget> alive(target);
    QTimer::singleShot(0, target, [alive, centre, global] {
        if (!alive)
            return;
        QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(alive, &press);
        if (!alive)
            return;
        QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(alive, &release);
    });
    Say(QStringLiteral("clicked %1").arg(name));
}

void Automation::Key(const QString& name, const QString& key_name)
{
    QWidget* target = ShowingControl(name);
    const QKeySequence sequence = QKeySequence::fromString(key_name);
    if (!target || sequence.isEmpty()) {
        Say(QStringLiteral("error no control or key %1 %2").arg(name, key_name));
        return;
    }
    // Posted, as a click is: what the key starts may run a loop of its own.
    const QKeyCombination combination = sequence[0];
    QPointer<QWidget> alive(target);
    QTimer::singleShot(0, target, [alive, combination] {
        if (!alive)
            return;
        alive->setFocus(Qt::OtherFocusReason);
        QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
        QApplication::sendEvent(alive, &press);
        if (!alive)
            return;
        QKeyEvent release(QEvent::KeyRelease, combination.key(), combination.keyboardModifiers());
        QApplication::sendEvent(alive, &release);
    });
    Say(QStringLiteral("keyed %1").arg(name));
}

void Automation::Text(const QString& name)
{
    for (QWidget* widget : QApplication::allWidgets()) {
        if (widget->objectName() != name || !widget->isVisible())
            continue;
        if (auto* label = qobject_cast<QLabel*>(widget))
            return Say(QStringLiteral("text %1 %2").arg(name, label->text()));
        if (auto* line = qobject_cast<QLineEdit*>(widget))
            return Say(QStringLiteral("text %1 %2").arg(name, line->text()));
    }
    Say(QStringLiteral("error no text %1").arg(name));
}

void Automation::Say(const QString& line)
{
    const QByteArray text = line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), stdout);
    std::fflush(stdout);
}

} // namespace pelu::host
