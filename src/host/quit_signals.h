// The orderly quit on SIGTERM, SIGINT and SIGHUP (logout, shutdown, kill, Ctrl-C,
// a closed terminal): the signal handler only writes the signal's number into a
// pipe; a notifier on the other end runs `on_quit` from the main loop, where the
// windows close the usual way (OnQuit: the band saves its resume list and its
// settings). A second signal ends the process at once, for a quit that hangs.
//
// Thread: construct, destroy and receive `on_quit` on the main thread; the
// handler itself runs on whichever thread the kernel picks and only writes.
#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace pelu::host {

class QuitSignals : public QObject {
    Q_OBJECT

public:
    // Installs the handlers; `on_quit(signal)` runs once, for the first signal.
    explicit QuitSignals(std::function<void(int signal)> on_quit, QObject* parent = nullptr);
    // Puts the default handlers back and closes the pipe.
    ~QuitSignals() override;

private:
    void Read();

    std::function<void(int)> on_quit_;
    QSocketNotifier* notifier_ = nullptr;
    bool quitting_ = false;
};

} // namespace pelu::host
