#include "widgets/image_button.h"

#include "widgets/theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QTimer>

namespace pelu::widgets {

TImageButton::TImageButton(QWidget* parent) : QWidget(parent)
{
    resize(50, 50);
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(QStringLiteral("Button"));
}

QSize TImageButton::sizeHint() const
{
    return size();
}

void TImageButton::Show(const TPicture& picture)
{
    current_ = picture;
    current_taken_ = true;
    if (picture.IsSet())
        resize(picture.size());
    update();
}

void TImageButton::SetBitmap(const TPicture& picture)
{
    bitmap_ = picture;
    Show(picture);
}

const TPicture& TImageButton::Resting() const
{
    return latched_ && bitmap_down_.IsSet() ? bitmap_down_ : bitmap_;
}

void TImageButton::SetLatched(bool latched)
{
    if (latched_ == latched)
        return;
    latched_ = latched;
    if (!pressed_)
        ShowResting();
}

void TImageButton::ShowResting()
{
    if (Resting().IsSet())
        Show(Resting());
}

void TImageButton::SetBitmapDown(const TPicture& picture)
{
    bitmap_down_ = picture;
    update();
}

void TImageButton::SetBitmapUp(const TPicture& picture)
{
    bitmap_up_ = picture;
    update();
}

void TImageButton::SetBitmapOver(const TPicture& picture)
{
    bitmap_over_ = picture;
    update();
}

void TImageButton::SetBitmapDisabled(const TPicture& picture)
{
    bitmap_disabled_ = picture;
    if (!isEnabled() && picture.IsSet())
        resize(picture.size()); // a disabled button shows this picture now
    update();
}

void TImageButton::paintEvent(QPaintEvent*)
{
    if (!current_taken_) {
        current_ = Resting();
        current_taken_ = true;
    }
    QPainter painter(this);
    painter.fillRect(rect(), theme::kButtonFace);
    const TPicture* picture = &current_;
    if (!isEnabled() && bitmap_disabled_.IsSet())
        picture = &bitmap_disabled_;
    if (picture->IsSet()) {
        picture->Draw(painter, QPoint(0, 0));
    } else {
        // No picture: a plain raised face, so the button can still be found.
        painter.setPen(theme::kHighlight);
        painter.drawLine(0, 0, width() - 1, 0);
        painter.drawLine(0, 0, 0, height() - 1);
        painter.setPen(theme::kShadow);
        painter.drawLine(width() - 1, 0, width() - 1, height() - 1);
        painter.drawLine(0, height() - 1, width() - 1, height() - 1);
    }
    if (hasFocus() && focusPolicy() != Qt::NoFocus) {
        painter.setPen(theme::kAccent);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void TImageButton::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled() && bitmap_disabled_.IsSet())
            resize(bitmap_disabled_.size());
        else if (isEnabled() && current_.IsSet())
            resize(current_.size());
        update();
    }
}

void TImageButton::enterEvent(QEnterEvent* event)
{
    QWidget::enterEvent(event);
    if (!isEnabled())
        return;
    if (bitmap_over_.IsSet())
        Show(bitmap_over_);
    if (OnMouseEnter)
        OnMouseEnter(this);
}

void TImageButton::leaveEvent(QEvent* event)
{
    QWidget::leaveEvent(event);
    if (isEnabled() && Resting().IsSet() && !pressed_)
        Show(Resting());
}

void TImageButton::mousePressEvent(QMouseEvent* event)
{
    if (!isEnabled() || event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed_ = true;
    if (OnMouseDown)
        OnMouseDown(this, event->button(), event->modifiers(), event->position().toPoint());
    if (bitmap_down_.IsSet())
        Show(bitmap_down_);
}

void TImageButton::mouseReleaseEvent(QMouseEvent* event)
{
    if (!isEnabled() || event->button() != Qt::LeftButton || !pressed_) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    pressed_ = false;
    const bool over = rect().contains(event->position().toPoint());
    // The click comes first, as the platform raises it before the release.
    QPointer<TImageButton> self(this);
    if (over) {
        update();
        if (OnClick)
            OnClick(this);
        if (!self)
            return;
    }
    if (OnMouseUp)
        OnMouseUp(this, event->button(), event->modifiers(), event->position().toPoint());
    if (!self)
        return;
    // The released picture stays until the mouse leaves, so a later repaint does
    // not bring the pressed picture back. A button without a released picture
    // (or released away from it) shows its normal picture.
    if (over && bitmap_up_.IsSet())
        Show(bitmap_up_);
    else if (Resting().IsSet())
        Show(Resting());
}

void TImageButton::keyPressEvent(QKeyEvent* event)
{
    if (isEnabled() && !event->isAutoRepeat()
        && (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        // The press shows for a moment, as a click with the mouse would.
        if (bitmap_down_.IsSet()) {
            Show(bitmap_down_);
            QTimer::singleShot(120, this, [this] { if (!pressed_) ShowResting(); });
        }
        if (OnClick)
            OnClick(this);
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace pelu::widgets
