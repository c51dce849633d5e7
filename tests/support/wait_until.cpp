#include "wait_until.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>

#include <algorithm>
#include <chrono>
#include <thread>

namespace pelu::test {

bool wait_until(const std::function<bool()>& done, int timeout_ms, Events events)
{
    QElapsedTimer clock;
    clock.start();
    int pause_ms = 1;
    while (!done()) {
        if (clock.elapsed() > timeout_ms)
            return false;
        if (events == Events::process) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            // Objects released with deleteLater go as they would in a running loop.
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            pause_ms = 2;
        } else {
            // Conditions that run a tool or read a file are not checked in a tight loop.
            pause_ms = std::min(pause_ms * 2, 20);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    }
    return true;
}

} // namespace pelu::test
