// The automation channel of PELU Browser (pelu-browser --automation), for scripts
// and tests: commands arrive on standard input, one a line; what happens is
// reported on standard output, one event a line, each with the milliseconds
// since the process started.
//
// Commands (N is a window number, counted from 1 in the order of opening):
//   navigate N URL        load URL in window N
//   back N                the Backspace command, sent to window N's frame
//   new-window            open a window on the home page
//   bands N               report window N's toolbar bands
//   screenshot N FILE     save a picture of window N as PNG
//   geometry N            report window N's frame and its screen's available area
//   resize N W H          resize window N (logical pixels)
//   title N               report window N's title
//   status N              report window N's status line
//   address N             report what window N's address bar shows
//   click NAME            a left click on the showing control named NAME (any window)
//   key NAME KEY          KEY ("Home", "Ctrl+A") pressed on the showing control named NAME
//   text NAME             report the text of the showing label or field named NAME
//   popups                report the other windows that show (panels, menus, dialogs)
//   close N               close window N
//   quit                  close every window (the browser then ends)
// Events:
//   window-opened N MS
//   loaded N MS URL       a load completed (NavigateComplete2 is fired next)
//   navigated N MS URL    after NavigateComplete2 was fired for a completed load
//   band N MS ID ROW WIDTHxHEIGHT   a band was inserted into window N's toolbar
//   bands N ID:ROW:WIDTHxHEIGHT:gripper|-  ...
//   screenshot N FILE | error TEXT
//   geometry N X Y W H screen X Y W H minimum-width W   (in the screen's pixels)
//   resized N WxH | title N TEXT | status N TEXT | address N TEXT
//   download N MS completed PATH | download N MS failed REASON   (N 0: its window has gone)
//   page-crashed N MS STATUS EXIT-CODE   the page's process died; the message shows
//   clicked NAME | error no control NAME
//   keyed NAME | error no control or key NAME KEY
//   text NAME TEXT | error no text NAME
//   popups CLASS...       class names, sorted
//   window-closed N MS
//
// Thread: main thread only.
#pragma once

#include <QObject>
#include <QString>

class QSocketNotifier;

namespace pelu::host {

class BrowserSession;
class BrowserWindow;

// Milliseconds since this process started (from the kernel's start time).
double ms_since_process_start();

class Automation : public QObject {
    Q_OBJECT

public:
    explicit Automation(BrowserSession& session);

private:
    void Watch(BrowserWindow* window);
    void ReadCommands();
    void Run(const QString& line);
    void Say(const QString& line);
    void Click(const QString& name);
    // Presses and releases a key (a QKeySequence name: "Home", "Ctrl+A") on the named control.
    void Key(const QString& name, const QString& key_name);
    void Text(const QString& name);
    QString BandText(BrowserWindow* window, int index) const;

    BrowserSession& session_;
    QSocketNotifier* input_ = nullptr;
    QByteArray pending_;
};

} // namespace pelu::host
