#include "widgets/seek_slider.h"

#include "platform/store_changed.h"
#include "widgets/theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace pelu::widgets {

namespace {
void DrawBevel(QPainter& painter, QRect& area, TBevelCut cut, const QColor& accent)
{
    if (cut == bvNone)
        return;
    const QColor top_left = accent.isValid() ? accent : (cut == bvLowered ? theme::kShadow : theme::kHighlight);
    const QColor bottom_right = accent.isValid() ? accent : (cut == bvLowered ? theme::kHighlight : theme::kShadow);
    painter.setPen(top_left);
    painter.drawLine(area.left(), area.top(), area.right(), area.top());
    painter.drawLine(area.left(), area.top(), area.left(), area.bottom());
    painter.setPen(bottom_right);
    painter.drawLine(area.right(), area.top() + 1, area.right(), area.bottom());
    painter.drawLine(area.left() + 1, area.bottom(), area.right(), area.bottom());
    area.adjust(1, 1, -1, -1);
}
} // namespace

TMMSlider::TMMSlider(QWidget* parent)
    : TSliderControl(parent, TSliderTracker::TDragRounding::HalfAwayFromZero, QStringLiteral("Seek")),
      thumb_color_(theme::kButtonFace), groove_color_(theme::kButtonFace)
{
}

void TMMSlider::SetPosition(int value)
{
    value = tracker_.Clamp(value);
    if (value == Position())
        return;
    // The picture depends on the position only through the thumb's place: a
    // step that leaves the thumb where it was repaints nothing, and a move
    // repaints only the span between the old and the new thumb.
    const QRect before = ThumbRect();
    tracker_.Store(value);
    const QRect after = ThumbRect();
    if (after != before)
        update(before.united(after));
    if (OnChange)
        OnChange(this);
}

void TMMSlider::SetOrientation(TMMOrientation value)
{
    if (platform::store_changed(orientation_, value))
        update();
}

void TMMSlider::SetThumbWidth(int value)
{
    if (platform::store_changed(thumb_width_, std::max(1, value)))
        update();
}

void TMMSlider::SetThumbHeight(int value)
{
    if (platform::store_changed(thumb_height_, std::max(1, value)))
        update();
}

void TMMSlider::SetGrooveSize(int value)
{
    if (platform::store_changed(groove_size_, std::max(0, value)))
        update();
}

void TMMSlider::SetThumbColor(const QColor& color)
{
    thumb_color_ = color;
    update();
}

void TMMSlider::SetGrooveColor(const QColor& color)
{
    groove_color_ = color;
    update();
}

void TMMSlider::SetDisabledColor(const QColor& color)
{
    disabled_color_ = color;
    update();
}

void TMMSlider::SetBevel(const TBevelStyle& style)
{
    bevel_ = style;
    update();
}

void TMMSlider::SetGroove(const TBevelStyle& style)
{
    groove_ = style;
    update();
}

QRect TMMSlider::TrackRect() const
{
    const int b = bevel_.Width();
    return rect().adjusted(b, b, -b, -b);
}

// ThumbWidth is the thumb's length along the track in either orientation.
int TMMSlider::Usable() const
{
    const QRect track = TrackRect();
    return (orientation_ == orHorizontal ? track.width() : track.height()) - thumb_width_;
}

QRect TMMSlider::ThumbRect() const
{
    const QRect track = TrackRect();
    const int usable = Usable();
    const int range = MaxValue() - MinValue();
    int offset = 0;
    if (range != 0 && usable > 0)
        offset = int(std::nearbyint(double(Position() - MinValue()) * usable / range));
    offset = std::clamp(offset, 0, std::max(0, usable));
    if (orientation_ == orHorizontal)
        return QRect(track.left() + offset, track.top() + (track.height() - thumb_height_) / 2, thumb_width_,
                     thumb_height_);
    // Vertical: the minimum is at the bottom.
    return QRect(track.left() + (track.width() - thumb_height_) / 2, track.bottom() + 1 - offset - thumb_width_,
                 thumb_height_, thumb_width_);
}

int TMMSlider::Along(QPointF point) const
{
    const QRect track = TrackRect();
    if (orientation_ == orHorizontal)
        return int(std::floor(point.x())) - track.left();
    return track.bottom() + 1 - int(std::floor(point.y()));
}

void TMMSlider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const int along = Along(event->position());
    const bool on_thumb = ThumbRect().contains(event->position().toPoint());
    if (on_thumb) {
        setCursor(Qt::SizeHorCursor);
    } else {
        // Jump so that the thumb's middle lies under the mouse.
        const int usable = Usable();
        const int range = MaxValue() - MinValue();
        int value = MinValue();
        if (usable > 0)
            value = MinValue() + int(std::nearbyint(double(along - thumb_width_ / 2) / usable * range));
        SetPosition(value);
    }
    tracker_.Press(on_thumb, along);
}

void TMMSlider::mouseMoveEvent(QMouseEvent* event)
{
    if (Dragging() && (event->buttons() & Qt::LeftButton)) {
        const int usable = Usable();
        if (usable <= 0)
            return;
        tracker_.DragTo(Along(event->position()), usable);
        return;
    }
    if (ThumbRect().contains(event->position().toPoint()))
        setCursor(Qt::SizeHorCursor);
    else
        unsetCursor();
}

void TMMSlider::focusInEvent(QFocusEvent* event)
{
    QWidget::focusInEvent(event);
    update();
}

void TMMSlider::focusOutEvent(QFocusEvent* event)
{
    QWidget::focusOutEvent(event);
    update();
}

void TMMSlider::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), theme::kWindow);
    QRect area = rect();
    const QColor focus = hasFocus() ? theme::kAccent : QColor();
    DrawBevel(painter, area, bevel_.outer, focus);
    DrawBevel(painter, area, bevel_.inner, focus);
    if (bevel_.border) {
        painter.setPen(bevel_.border_color);
        painter.drawRect(area.adjusted(0, 0, -1, -1));
        area.adjust(1, 1, -1, -1);
    }
    const bool horizontal = orientation_ == orHorizontal;
    const QRect thumb = ThumbRect();

    // Played part: a quiet fill from the start up to the thumb.
    QRect played = horizontal ? QRect(QPoint(area.left(), thumb.top()), QPoint(thumb.left() - 1, thumb.bottom()))
                              : QRect(QPoint(thumb.left(), thumb.bottom() + 1), QPoint(thumb.right(), area.bottom()));
    if (played.isValid() && isEnabled())
        painter.fillRect(played, theme::kAccentDim);

    if (groove_size_ > 0) {
        QRect groove = horizontal
                           ? QRect(area.left(), area.top() + (area.height() - groove_size_) / 2, area.width(), groove_size_)
                           : QRect(area.left() + (area.width() - groove_size_) / 2, area.top(), groove_size_, area.height());
        QRect inside = groove.adjusted(-groove_.Width(), -groove_.Width(), groove_.Width(), groove_.Width());
        DrawBevel(painter, inside, groove_.outer, QColor());
        DrawBevel(painter, inside, groove_.inner, QColor());
        painter.fillRect(groove, groove_color_);
    }

    painter.fillRect(thumb, isEnabled() ? thumb_color_ : disabled_color_);
    if (thumb.height() > 2 && thumb.width() > 2) {
        painter.setPen(thumb_color_.lighter(130));
        painter.drawLine(thumb.left(), thumb.top(), thumb.right(), thumb.top());
    }
}

} // namespace pelu::widgets
