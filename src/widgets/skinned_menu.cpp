#include "widgets/skinned_menu.h"

#include "widgets/theme.h"

#include <QPainter>

namespace pelu::widgets {

TSkinnedMenu::TSkinnedMenu(QWidget* parent) : QMenu(parent)
{
    setFont(FontFromHeight(QStringLiteral("Tahoma"), -11));
    ApplyStyle();
}

void TSkinnedMenu::SetTitleText(const QString& text)
{
    title_text_ = text;
    setAccessibleDescription(text);
    ApplyStyle();
    update();
}

void TSkinnedMenu::ApplyStyle()
{
    const int band = title_text_.isEmpty() ? 0 : kTitleBandWidth;
    // Silver border outside, black frame inside; the band sits in the left padding.
    setStyleSheet(QStringLiteral(
        "QMenu { background: #2e3238; color: #d8dce2; border: 1px solid #c0c0c0;"
        " padding: 2px 2px 2px %1px; }"
        "QMenu::item { padding: 3px 18px 3px 22px; background: transparent; }"
        "QMenu::item:selected { background: #3a6073; color: #ffffff; }"
        "QMenu::item:disabled { color: #8a9099; }"
        "QMenu::separator { height: 2px; margin: 3px 6px; border-top: 1px solid #8d8d8d;"
        " border-bottom: 1px solid #c1c1c1; background: transparent; }"
        "QMenu::indicator { width: 10px; height: 10px; left: 6px; }"
        "QMenu::indicator:checked { background: #3fc1e8; border: 1px solid #101114; border-radius: 2px; }"
        "QMenu::indicator:unchecked { background: transparent; border: 1px solid #4a5059; border-radius: 2px; }")
                      .arg(band + 2));
}

QAction* TSkinnedMenu::AddItem(const QString& caption, bool checkable, bool checked)
{
    if (caption == QLatin1String("-"))
        return addSeparator();
    QAction* action = addAction(caption);
    action->setCheckable(checkable);
    action->setChecked(checked);
    return action;
}

void TSkinnedMenu::paintEvent(QPaintEvent* event)
{
    QMenu::paintEvent(event);
    QPainter painter(this);
    // Black frame and bevel just inside the silver border.
    painter.setPen(QColor(0, 0, 0));
    painter.drawRect(rect().adjusted(1, 1, -2, -2));
    if (title_text_.isEmpty())
        return;
    const QRect band(2, 2, kTitleBandWidth, height() - 4);
    QLinearGradient shade(band.topLeft(), band.bottomLeft());
    shade.setColorAt(0.0, QColor(0xd7, 0xd7, 0xd7));
    shade.setColorAt(0.08, QColor(0x6a, 0x72, 0x7c));
    shade.setColorAt(1.0, QColor(0x1f, 0x4e, 0x63));
    painter.fillRect(band, shade);
    painter.setPen(theme::kShadow);
    painter.drawLine(band.topRight(), band.bottomRight());
    // The title reads upwards from the bottom.
    painter.save();
    painter.translate(band.left(), band.bottom());
    painter.rotate(-90);
    QFont title_font = FontFromHeight(QStringLiteral("Tahoma"), -11, true);
    painter.setFont(title_font);
    painter.setPen(QColor(0xff, 0xff, 0xff));
    painter.drawText(QRect(6, 0, band.height() - 8, band.width()), Qt::AlignLeft | Qt::AlignVCenter, title_text_);
    painter.restore();
}

} // namespace pelu::widgets
