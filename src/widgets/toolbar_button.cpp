#include "widgets/toolbar_button.h"

#include "widgets/theme.h"

#include <QKeyEvent>
#include <QMenu>
#include <QPainter>

namespace pelu::widgets {

TToolbarButton::TToolbarButton(const QString& caption, QWidget* parent) : QAbstractButton(parent)
{
    setText(caption);
    setAccessibleName(caption.trimmed());
    setFocusPolicy(Qt::TabFocus);
    setFont(FontFromHeight(QStringLiteral("Tahoma"), -11));
    setAttribute(Qt::WA_Hover);
    connect(this, &QAbstractButton::clicked, this, [this] {
        QPointer<TToolbarButton> self(this);
        if (OnClick)
            OnClick(this);
        if (self && menu_) {
            setDown(true);
            menu_->exec(mapToGlobal(QPoint(0, height())));
            if (self)
                setDown(false);
        }
    });
}

QSize TToolbarButton::sizeHint() const
{
    const int text_width = fontMetrics().horizontalAdvance(text());
    return QSize(text_width + (menu_ ? 22 : 14), 17);
}

void TToolbarButton::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat() && isEnabled()) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void TToolbarButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    hot_ = true;
    update();
    if (OnMouseEnter)
        OnMouseEnter(this);
}

void TToolbarButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    hot_ = false;
    update();
}

void TToolbarButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    const QRect r = rect();
    const bool down = isDown();
    QLinearGradient face(r.topLeft(), r.bottomLeft());
    const QColor top = down ? QColor(0x1c, 0x1f, 0x23) : (hot_ ? QColor(0x3a, 0x3f, 0x47) : QColor(0x33, 0x37, 0x3e));
    const QColor bottom = down ? QColor(0x25, 0x28, 0x2d) : (hot_ ? QColor(0x2c, 0x30, 0x37) : QColor(0x26, 0x29, 0x2f));
    face.setColorAt(0, top);
    face.setColorAt(1, bottom);
    painter.fillRect(r, face);
    painter.setPen(down ? theme::kShadow : theme::kHighlight);
    painter.drawLine(r.left(), r.top(), r.right(), r.top());
    painter.setPen(QColor(0, 0, 0));
    painter.drawRect(r.adjusted(0, 0, -1, -1));
    if (hasFocus())
        painter.setPen(theme::kAccent), painter.drawRect(r.adjusted(1, 1, -2, -2));

    QRect text_area = r.adjusted(4, 0, menu_ ? -12 : -4, 0);
    if (down)
        text_area.translate(0, 1);
    painter.setPen(isEnabled() ? (hot_ ? QColor(0xff, 0xff, 0xff) : theme::kText) : theme::kDimText);
    painter.setFont(font());
    painter.drawText(text_area, Qt::AlignCenter | Qt::TextSingleLine, text());
    if (menu_) {
        // A small drop-down arrow.
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(hot_ ? theme::kAccent : theme::kDimText);
        const qreal cx = r.right() - 8.5, cy = r.center().y() + 1.0;
        const QPointF arrow[3] = {{cx - 3, cy - 1.5}, {cx + 3, cy - 1.5}, {cx, cy + 1.5}};
        painter.drawPolygon(arrow, 3);
    }
}

} // namespace pelu::widgets
