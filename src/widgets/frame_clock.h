// The band's frame clock: the display updates of one moment (the time display,
// the seek slider, the playing row's blink, the status line's scroll step and
// the analysers' new pictures) are made together, in one frame, so that the
// window is painted and flushed once for all of them; in the browser every
// flush of the band's window costs a composition of that window.
//
// Each display timer (TFrameTimer) keeps its own period; when it comes due its
// tick waits for the next frame rather than painting on its own. A frame runs
// every tick and repaint request that waits, in the order they came. Frames
// come at most once per screen refresh (the connector's frame pace) and only
// when something waits. While the connector's pump is feeding the analysers,
// the end of its cycle is the frame, so playing wakes the main thread once per
// frame; otherwise the clock's own timer brings the frame. A tick therefore
// runs within a frame or two of coming due (16-33 ms), and the timers' periods
// are kept on average.
//
// Thread: main thread only (the timers, the requests and the frames).
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <vector>

namespace pelu::widgets {

class TFrameClock : public QObject {
public:
    // The process's clock (one screen, one pace for every band window).
    static TFrameClock& Instance();

    // Runs `work` in the next frame, once however often asked before it; the
    // request is dropped when `owner` is destroyed first.
    void Request(QObject* owner, std::function<void()> work);

private:
    explicit TFrameClock(QObject* parent);
    ~TFrameClock() override;
    // Sets the timer for the next frame, or for a fallback when a cycle of
    // the connector's pump is coming sooner and will bring it.
    void Schedule();
    // The frame's time has come (its timer, a posted call or the end of a
    // pump cycle): run it if anything waits and it is not too soon.
    void FrameDue();
    void RunFrame();

    struct Job {
        QPointer<QObject> owner;
        std::function<void()> work;
    };
    std::vector<Job> pending_;
    std::int64_t last_frame_us_ = 0;
    bool running_frame_ = false;
    bool frame_posted_ = false; // a call of FrameDue is queued
    QTimer timer_;
};

// A QTimer (same interval, start and stop, same timeout signal) whose ticks
// come in the band's frames: when it comes due its timeout is emitted at the
// next frame, together with the other displays' updates of that moment.
class TFrameTimer : public QTimer {
public:
    using QTimer::QTimer;

protected:
    void timerEvent(QTimerEvent* event) override;
};

} // namespace pelu::widgets
