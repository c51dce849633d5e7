#include "host/quit_signals.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace pelu::host {

namespace {

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};
int pipe_fds[2] = {-1, -1};
std::atomic<int> signals_seen{0};

extern "C" void on_quit_signal(int signal)
{
    if (signals_seen.fetch_add(1) > 0)
        _exit(128 + signal); // the second: no more waiting for the orderly quit
    const int saved = errno;
    const unsigned char number = static_cast<unsigned char>(signal);
    [[maybe_unused]] const ssize_t written = ::write(pipe_fds[1], &number, 1);
    errno = saved;
}

} // namespace

QuitSignals::QuitSignals(std::function<void(int)> on_quit, QObject* parent)
    : QObject(parent), on_quit_(std::move(on_quit))
{
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return; // no pipe: the signals keep their default action
    signals_seen = 0;
    notifier_ = new QSocketNotifier(pipe_fds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &QuitSignals::Read);
    struct sigaction action{};
    action.sa_handler = &on_quit_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kSignals)
        sigaction(signal, &action, nullptr);
}

QuitSignals::~QuitSignals()
{
    if (!notifier_)
        return;
    for (int signal : kSignals)
        std::signal(signal, SIG_DFL);
    delete notifier_;
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    pipe_fds[0] = pipe_fds[1] = -1;
}

void QuitSignals::Read()
{
    unsigned char number = 0;
    while (::read(pipe_fds[0], &number, 1) == 1) {
        if (quitting_)
            continue;
        quitting_ = true;
        if (on_quit_)
            on_quit_(number);
    }
}

} // namespace pelu::host
