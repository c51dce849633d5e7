// The frames of one window: a frame is a run of paint events of the window's
// widgets with no other event in between, that is one paint pass of the
// window's backing store, which ends in one flush to the screen (in the
// browser, one composition of the window). Main thread only.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>

#include <cstdint>
#include <vector>

namespace pelu::test {

class FrameLog : public QObject {
public:
    explicit FrameLog(QWidget* window) : window_(window)
    {
        clock_.start();
        qApp->installEventFilter(this);
    }

    // When each frame began (microseconds since the log was made).
    std::vector<std::int64_t> starts_us;
    std::int64_t paints = 0;

    std::int64_t Frames() const { return std::int64_t(starts_us.size()); }
    // Frames from `first` on that began less than `gap_us` after the one before.
    std::int64_t CloserThan(std::int64_t gap_us, std::size_t first = 0) const
    {
        std::int64_t close = 0;
        for (std::size_t i = std::max<std::size_t>(first, 1); i < starts_us.size(); ++i)
            close += starts_us[i] - starts_us[i - 1] < gap_us;
        return close;
    }

protected:
    bool eventFilter(QObject* target, QEvent* event) override
    {
        if (event->type() != QEvent::Paint) {
            in_frame_ = false;
            return false;
        }
        auto* widget = qobject_cast<QWidget*>(target);
        if (!widget || widget->window() != window_)
            return false;
        ++paints;
        if (!in_frame_)
            starts_us.push_back(clock_.nsecsElapsed() / 1000);
        in_frame_ = true;
        return false;
    }

private:
    QWidget* window_;
    QElapsedTimer clock_;
    bool in_frame_ = false;
};

} // namespace pelu::test
