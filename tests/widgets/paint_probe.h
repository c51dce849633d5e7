// What the painting tests look at: the paint events a widget receives and the
// picture its window's backing store holds where the widget lies (the screen),
// beside a fresh picture of the whole widget.
#pragma once

#include <QBackingStore>
#include <QCoreApplication>
#include <QImage>
#include <QObject>
#include <QPaintEvent>
#include <QRegion>
#include <QWidget>

#include <vector>

namespace pelu::widgets::test {

// Records the paint events of one widget.
class PaintLog : public QObject {
public:
    explicit PaintLog(QWidget* widget) { widget->installEventFilter(this); }
    std::vector<QRegion> regions;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            regions.push_back(static_cast<QPaintEvent*>(event)->region());
        return false;
    }
};

// What the window's backing store holds where `widget` lies.
inline QImage OnScreen(QWidget* widget)
{
    QWidget* window = widget->window();
    auto* store = dynamic_cast<QImage*>(window->backingStore()->paintDevice());
    if (!store)
        return {};
    const qreal dpr = store->devicePixelRatio();
    const QRect area(widget->mapTo(window, QPoint(0, 0)) * dpr, widget->size() * dpr);
    return store->copy(area).convertToFormat(QImage::Format_RGB32);
}

inline QImage Whole(QWidget* widget)
{
    return widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

} // namespace pelu::widgets::test
