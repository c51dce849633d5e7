#include "widgets/picture_box.h"

#include "widgets/theme.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace pelu::widgets {

TImage::TImage(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
}

void TImage::SetPicture(const TPicture& picture)
{
    picture_ = picture;
    update();
}

void TImage::SetClickable(bool clickable)
{
    setFocusPolicy(clickable ? Qt::TabFocus : Qt::NoFocus);
    if (clickable)
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
}

void TImage::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (picture_.IsSet() && picture_.width() >= width() && picture_.height() >= height()) {
        picture_.Draw(painter, QPoint(0, 0));
    } else {
        painter.fillRect(rect(), theme::kWindow);
        picture_.Draw(painter, QPoint(0, 0));
    }
    if (hasFocus()) {
        painter.setPen(theme::kAccent);
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void TImage::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick)
        OnClick(this);
    QWidget::mouseReleaseEvent(event);
}

void TImage::mouseMoveEvent(QMouseEvent* event)
{
    if (OnMouseMove)
        OnMouseMove(this, event->position().toPoint());
    QWidget::mouseMoveEvent(event);
}

void TImage::keyPressEvent(QKeyEvent* event)
{
    if (focusPolicy() != Qt::NoFocus && (event->key() == Qt::Key_Space || event->key() == Qt::Key_Return)) {
        if (OnClick)
            OnClick(this);
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace pelu::widgets
