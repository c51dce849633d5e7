#include "widgets/bitmap_slider.h"

#include <QWheelEvent>

#include "platform/store_changed.h"
#include "widgets/theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include <cmath>

namespace pelu::widgets {

namespace {
// JPEG noise around a picture's transparent colour stays within this distance.
constexpr int kTransparentTolerance = 40;

int RoundEven(double value)
{
    return static_cast<int>(std::nearbyint(value)); // half to even, as the rest of the band rounds
}
} // namespace

void TMMBitmapList::SetBitmaps(QList<TPicture> pictures)
{
    pictures_ = std::move(pictures);
    emit Changed();
}

TPicture TMMBitmapList::Bitmap(int index) const
{
    if (index < 0 || index >= pictures_.size())
        return {};
    return pictures_.at(index);
}

TMMBitmapSlider::TMMBitmapSlider(QWidget* parent)
    : TSliderControl(parent, TSliderTracker::TDragRounding::HalfToEven, QStringLiteral("Slider"))
{
}

void TMMBitmapSlider::SetPosition(int value)
{
    value = tracker_.Clamp(value);
    if (value == Position())
        return;
    tracker_.Store(value);
    update();
    if (OnChange)
        OnChange(this);
}

void TMMBitmapSlider::SetOrientation(TMMOrientation value)
{
    if (platform::store_changed(orientation_, value))
        update();
}

void TMMBitmapSlider::SetZeroPosition(TMMZeroPosition value)
{
    if (platform::store_changed(zero_, value))
        update();
}

void TMMBitmapSlider::SetMargin(int value)
{
    if (platform::store_changed(margin_, std::clamp(value, 0, 25)))
        update();
}

void TMMBitmapSlider::SetBitmapList(TMMBitmapList* list)
{
    if (list_ == list)
        return;
    if (list_)
        disconnect(list_, nullptr, this, nullptr);
    list_ = list;
    if (list_)
        connect(list_, &TMMBitmapList::Changed, this, &TMMBitmapSlider::Reload);
    Reload();
}

void TMMBitmapSlider::SetBitmapIndex(int value)
{
    if (platform::store_changed(bitmap_index_, value))
        Reload();
}

void TMMBitmapSlider::SetBitmapBackIndex(int value)
{
    if (platform::store_changed(back_index_, value))
        Reload();
}

void TMMBitmapSlider::SetBitmapThumbIndex(int value)
{
    if (platform::store_changed(thumb_index_, value))
        Reload();
}

void TMMBitmapSlider::SetNumGlyphs(int value)
{
    if (platform::store_changed(num_glyphs_, std::max(1, value)))
        Reload();
}

void TMMBitmapSlider::SetNumThumbGlyphs(int value)
{
    if (platform::store_changed(num_thumb_glyphs_, std::max(1, value)))
        Reload();
}

void TMMBitmapSlider::SetAutoSize(bool value)
{
    if (platform::store_changed(auto_size_, value))
        Reload();
}

void TMMBitmapSlider::SetTransparentColor(const QColor& color)
{
    if (platform::store_changed(transparent_color_, color))
        Reload();
}

void TMMBitmapSlider::SetTransparentMode(TTransparentMode mode)
{
    if (platform::store_changed(transparent_mode_, mode))
        Reload();
}

void TMMBitmapSlider::Reload()
{
    background_ = {};
    thumb_ = {};
    if (list_) {
        const int back = back_index_ >= 0 ? back_index_ : bitmap_index_;
        background_ = list_->Bitmap(back).Glyph(0, num_glyphs_);
        TPicture thumb = list_->Bitmap(thumb_index_);
        if (thumb.IsSet()) {
            // Automatic mode takes the colour of the picture's bottom-left pixel.
            QColor key = transparent_mode_ == tmFixed ? transparent_color_
                                                      : QColor(thumb.x1().pixel(0, thumb.height() - 1));
            thumb_ = thumb.WithTransparentColor(key, kTransparentTolerance);
        }
    }
    if (auto_size_ && background_.IsSet())
        resize(background_.size());
    update();
}

QSize TMMBitmapSlider::ThumbSize() const
{
    if (thumb_.IsSet())
        return QSize(std::max(1, thumb_.width() / num_thumb_glyphs_), thumb_.height());
    // No picture: a plain bar across the track.
    if (orientation_ == orVertical)
        return QSize(std::max(4, width() - 4), 7);
    return QSize(7, std::max(4, height() - 4));
}

QRect TMMBitmapSlider::ThumbRect() const
{
    const QSize thumb = ThumbSize();
    const bool vertical = orientation_ == orVertical;
    const int length = vertical ? height() : width();
    const int thumb_length = vertical ? thumb.height() : thumb.width();
    const int range = MaxValue() - MinValue();
    const double usable = length - thumb_length - 2 * margin_;
    const double scale = range != 0 ? usable / range : usable;
    const int offset = RoundEven((Position() - MinValue()) * scale);
    // The far end holds the minimum for zpBottomLeft when vertical (bottom) and
    // for zpTopRight when horizontal (right).
    const bool from_far_end = vertical == (zero_ == zpBottomLeft);
    const int along = from_far_end ? length - offset - thumb_length - margin_ : offset + margin_;
    if (vertical)
        return QRect((width() - thumb.width()) / 2, along, thumb.width(), thumb.height());
    return QRect(along, (height() - thumb.height()) / 2, thumb.width(), thumb.height());
}

int TMMBitmapSlider::Along(QPoint point) const
{
    // Grows towards the maximum.
    if (orientation_ == orVertical)
        return zero_ == zpBottomLeft ? -point.y() : point.y();
    return zero_ == zpBottomLeft ? point.x() : -point.x();
}

void TMMBitmapSlider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    const QPoint at = event->position().toPoint();
    const bool on_thumb = ThumbRect().contains(at);
    if (on_thumb) {
        setCursor(hand_cursor_ ? Qt::PointingHandCursor : Qt::SizeAllCursor);
    } else {
        // Jump: the thumb's centre goes under the mouse.
        const bool vertical = orientation_ == orVertical;
        const QSize thumb = ThumbSize();
        const int thumb_length = vertical ? thumb.height() : thumb.width();
        const double span = (vertical ? height() : width()) - thumb_length;
        const double coordinate = vertical ? event->position().y() : event->position().x();
        const double half = thumb_length / 2.0;
        const bool from_far_end = vertical == (zero_ == zpBottomLeft);
        const double l = from_far_end ? span - (coordinate - half) : coordinate - half;
        const int value = span > 0 ? MinValue() + RoundEven(l / span * (MaxValue() - MinValue())) : MinValue();
        SetPosition(value);
        update();
    }
    tracker_.Press(on_thumb, Along(at));
}

void TMMBitmapSlider::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint at = event->position().toPoint();
    if (Dragging() && (event->buttons() & Qt::LeftButton)) {
        const QSize thumb = ThumbSize();
        const int thumb_length = orientation_ == orVertical ? thumb.height() : thumb.width();
        const int usable = (orientation_ == orVertical ? height() : width()) - 2 * margin_ - thumb_length;
        if (usable <= 0)
            return; // a slider too small for its thumb cannot be dragged
        tracker_.DragTo(Along(at), usable);
        return;
    }
    if (ThumbRect().contains(at))
        setCursor(hand_cursor_ ? Qt::PointingHandCursor : Qt::ArrowCursor);
    else
        unsetCursor();
}

void TMMBitmapSlider::wheelEvent(QWheelEvent* event)
{
    if (Dragging()) {
        event->accept();
        return;
    }
    // 120 units are one notch; touchpads send less at a time.
    wheel_units_ += event->angleDelta().y() != 0 ? event->angleDelta().y() : event->angleDelta().x();
    const int notches = wheel_units_ / 120;
    wheel_units_ %= 120;
    event->accept();
    if (notches == 0)
        return;
    tracker_.TrackTo(Position() + notches * line_size_);
    tracker_.EndTracking();
}

void TMMBitmapSlider::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const bool vertical = orientation_ == orVertical;
    if (background_.IsSet()) {
        // A background shorter than the slider is tiled along the track.
        const int step = vertical ? background_.height() : background_.width();
        const int length = vertical ? height() : width();
        for (int at = 0; at < length; at += std::max(1, step))
            background_.Draw(painter, vertical ? QPoint(0, at) : QPoint(at, 0));
    } else {
        painter.fillRect(rect(), theme::kButtonFace);
        const QRect groove = vertical ? QRect(width() / 2 - 1, margin_, 3, height() - 2 * margin_)
                                      : QRect(margin_, height() / 2 - 1, width() - 2 * margin_, 3);
        painter.fillRect(groove, theme::kShadow);
        painter.setPen(theme::kHighlight);
        if (vertical)
            painter.drawLine(groove.right(), groove.top(), groove.right(), groove.bottom());
        else
            painter.drawLine(groove.left(), groove.bottom(), groove.right(), groove.bottom());
    }
    const QRect thumb = ThumbRect();
    if (thumb_.IsSet()) {
        const int glyph = (Dragging() && num_thumb_glyphs_ > 1) ? 1 : 0;
        thumb_.Glyph(glyph, num_thumb_glyphs_).Draw(painter, thumb.topLeft());
    } else {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(theme::kShadow);
        painter.setBrush(Dragging() ? theme::kAccent : theme::kText);
        painter.drawRoundedRect(QRectF(thumb).adjusted(0.5, 0.5, -0.5, -0.5), 2, 2);
        painter.setRenderHint(QPainter::Antialiasing, false);
    }
    if (hasFocus()) {
        painter.setPen(QColor(0x3f, 0xc1, 0xe8, 120));
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

} // namespace pelu::widgets
