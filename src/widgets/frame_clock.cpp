#include "widgets/frame_clock.h"

#include "audio/connector.h"
#include "platform/clock.h"

#include <QCoreApplication>
#include <QTimerEvent>

#include <algorithm>
#include <utility>

namespace pelu::widgets {

namespace {

// A cycle of the pump ends a little later than it began; frames that follow
// the cycles may come this much sooner than a whole frame apart.
constexpr std::int64_t kSlackUs = 1000;

} // namespace

TFrameClock& TFrameClock::Instance()
{
    static TFrameClock* clock = new TFrameClock(QCoreApplication::instance());
    return *clock;
}

TFrameClock::TFrameClock(QObject* parent) : QObject(parent)
{
    timer_.setSingleShot(true);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &TFrameClock::FrameDue);
    TMMConnector::SetCycleEndHook([this] { FrameDue(); });
}

TFrameClock::~TFrameClock() { TMMConnector::SetCycleEndHook({}); }

void TFrameClock::Request(QObject* owner, std::function<void()> work)
{
    for (const Job& job : pending_)
        if (job.owner == owner)
            return;
    pending_.push_back(Job{owner, std::move(work)});
    // Asked for in a frame or in a pump cycle: the frame's end or the cycle's
    // end schedules it.
    if (!running_frame_ && !TMMConnector::Feeding())
        Schedule();
}

void TFrameClock::FrameDue()
{
    if (!pending_.empty() && platform::now_us() >= last_frame_us_ + TMMConnector::FramePaceUs() - kSlackUs)
        RunFrame();
    Schedule();
}

void TFrameClock::Schedule()
{
    if (pending_.empty()) {
        timer_.stop();
        return;
    }
    const std::int64_t pace = TMMConnector::FramePaceUs();
    const std::int64_t now = platform::now_us();
    std::int64_t at = std::max(now, last_frame_us_ + pace - kSlackUs);
    // The pump's next cycle brings the frame; the timer only stands in for a
    // cycle that does not come (the last buffer played, a pause).
    const std::int64_t cycle = TMMConnector::NextCycleUs();
    if (cycle >= 0 && cycle <= at + pace)
        at = std::max(at, cycle) + pace;
    const std::int64_t wait_us = at - now;
    if (wait_us <= 0) {
        // Due now: once the event loop has delivered what else came due at
        // this moment (other timers' ticks), all in one frame.
        timer_.stop();
        if (!frame_posted_) {
            frame_posted_ = true;
            QMetaObject::invokeMethod(
                this, [this] {
                    frame_posted_ = false;
                    FrameDue();
                },
                Qt::QueuedConnection);
        }
        return;
    }
    // Rounded up: never before the frame is allowed.
    timer_.start(int((wait_us + 999) / 1000));
}

void TFrameClock::RunFrame()
{
    last_frame_us_ = platform::now_us();
    // What a job asks for in the frame waits for the next one.
    const std::vector<Job> due = std::exchange(pending_, {});
    running_frame_ = true;
    for (const Job& job : due)
        if (job.owner)
            job.work();
    running_frame_ = false;
}

void TFrameTimer::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != timerId()) {
        QTimer::timerEvent(event);
        return;
    }
    const int id = timerId();
    TFrameClock::Instance().Request(this, [this, id] {
        // Stopped (or started afresh) since it came due: that tick is gone.
        if (timerId() != id)
            return;
        QTimerEvent tick(id);
        QTimer::timerEvent(&tick);
    });
}

} // namespace pelu::widgets
