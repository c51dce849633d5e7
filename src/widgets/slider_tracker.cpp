#include "widgets/slider_tracker.h"

#include "widgets/theme.h"

#include <QKeyEvent>
#include <QMouseEvent>

#include <algorithm>
#include <cmath>

namespace pelu::widgets {

TSliderTracker::TSliderTracker(QObject* sender, std::function<void(int)> set_position, const Notify& on_track,
                               const Notify& on_track_end, TDragRounding rounding)
    : sender_(sender), set_position_(std::move(set_position)), on_track_(on_track), on_track_end_(on_track_end),
      rounding_(rounding)
{
}

int TSliderTracker::Clamp(int value) const { return std::clamp(value, min_, max_); }

bool TSliderTracker::SetMin(int value)
{
    if (value == min_)
        return false;
    min_ = value;
    if (max_ < min_)
        max_ = min_;
    set_position_(position_);
    return true;
}

bool TSliderTracker::SetMax(int value)
{
    if (value == max_)
        return false;
    max_ = value;
    if (min_ > max_)
        min_ = max_;
    set_position_(position_);
    return true;
}

void TSliderTracker::Press(bool on_thumb, int along)
{
    if (on_thumb)
        dragging_ = true;
    press_along_ = along;
    press_position_ = position_;
    tracked_ = true;
    if (on_track_)
        on_track_(sender_);
}

void TSliderTracker::DragTo(int along, int usable)
{
    const int distance = along - press_along_;
    const int range = max_ - min_;
    const int delta = rounding_ == TDragRounding::HalfAwayFromZero
                          ? MulDiv(distance, range, usable)
                          : static_cast<int>(std::nearbyint(double(distance) * range / usable));
    TrackTo(press_position_ + delta);
}

std::optional<int> TSliderTracker::KeyValue(int key, int line_size, int page_size, bool home_is_min) const
{
    switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Right: return position_ + line_size;
    case Qt::Key_Down:
    case Qt::Key_Left: return position_ - line_size;
    case Qt::Key_PageUp: return position_ + page_size;
    case Qt::Key_PageDown: return position_ - page_size;
    case Qt::Key_Home: return home_is_min ? min_ : max_;
    case Qt::Key_End: return home_is_min ? max_ : min_;
    default: return std::nullopt;
    }
}

void TSliderTracker::TrackTo(int value)
{
    value = Clamp(value);
    if (value == position_)
        return;
    set_position_(value);
    tracked_ = true;
    if (on_track_)
        on_track_(sender_);
}

void TSliderTracker::Release()
{
    dragging_ = false;
    EndTracking();
}

void TSliderTracker::KeyRelease()
{
    if (!dragging_)
        EndTracking();
}

void TSliderTracker::EndTracking()
{
    if (!tracked_)
        return;
    tracked_ = false;
    if (on_track_end_)
        on_track_end_(sender_);
}

TSliderControl::TSliderControl(QWidget* parent, TSliderTracker::TDragRounding rounding,
                               const QString& accessible_name)
    : QWidget(parent), tracker_(this, [this](int value) { SetPosition(value); }, OnTrack, OnTrackEnd, rounding)
{
    resize(200, 40);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAccessibleName(accessible_name);
}

void TSliderControl::SetMinValue(int value)
{
    if (tracker_.SetMin(value))
        update();
}

void TSliderControl::SetMaxValue(int value)
{
    if (tracker_.SetMax(value))
        update();
}

void TSliderControl::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    unsetCursor();
    update();
    tracker_.Release();
}

void TSliderControl::keyPressEvent(QKeyEvent* event)
{
    const auto value = tracker_.KeyValue(event->key(), line_size_, page_size_, Horizontal());
    if (!value) {
        QWidget::keyPressEvent(event);
        return;
    }
    tracker_.TrackTo(*value);
}

void TSliderControl::keyReleaseEvent(QKeyEvent* event)
{
    // Held keys repeat their press; only the real release ends the tracking.
    if (event->isAutoRepeat())
        return;
    tracker_.KeyRelease();
    QWidget::keyReleaseEvent(event);
}

} // namespace pelu::widgets
