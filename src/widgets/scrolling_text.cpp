#include "widgets/scrolling_text.h"

#include "widgets/theme.h"

#include <QEvent>
#include <QPaintEvent>
#include <QFontMetrics>
#include <QPainter>

#include <cstdlib>

namespace pelu::widgets {

namespace {
const QColor kGreen{0x00, 0x80, 0x00};
const QColor kRed{0xff, 0x00, 0x00};
} // namespace

TALScrollingText::TALScrollingText(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Status"));
    resize(50, 30);
    x_ = -width();
    Rebuild();
    timer_.setInterval(20);
    connect(&timer_, &QTimer::timeout, this, &TALScrollingText::Step);
    UpdateTimer(); // a widget is created hidden: the timer starts when it is shown
}

void TALScrollingText::UpdateTimer()
{
    const bool moving = isVisible() && isEnabled() && !text_.isEmpty();
    if (moving && !timer_.isActive())
        timer_.start();
    else if (!moving && timer_.isActive())
        timer_.stop();
}

QRect TALScrollingText::TextArea(int x) const
{
    // The text lies one widget width into the strip; a column either side
    // covers any glyph pixel beyond the advance.
    return QRect(x + width() - 1, 0, text_width_ + 2, height()) & rect();
}

void TALScrollingText::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    UpdateTimer();
}

void TALScrollingText::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    UpdateTimer();
}

void TALScrollingText::SetText(const QString& text)
{
    if (text == text_)
        return;
    text_ = text;
    setAccessibleDescription(text);
    Rebuild();
    UpdateTimer();
}

void TALScrollingText::SetSpeed(int ms)
{
    if (ms != timer_.interval())
        timer_.setInterval(std::max(1, ms));
}

void TALScrollingText::SetEdgeFadeWidth(int pixels)
{
    if (pixels == edge_fade_width_)
        return;
    edge_fade_width_ = pixels;
    Rebuild();
}

void TALScrollingText::SetBackgroundColor(const QColor& color)
{
    if (color == background_)
        return;
    background_ = color;
    Rebuild();
}

void TALScrollingText::SetFontColor(const QColor& color)
{
    if (color == font_color_)
        return;
    font_color_ = color;
    Rebuild();
}

void TALScrollingText::SetLayout(TTextLayout layout)
{
    if (layout == layout_)
        return;
    layout_ = layout;
    Rebuild();
}

void TALScrollingText::SetTextDirection(TTextDirection direction)
{
    if (direction == direction_)
        return;
    direction_ = direction;
    ResetX(strip_width_); // the strip before the rebuild
    Rebuild();
}

void TALScrollingText::ResetX(int strip_width)
{
    x_ = direction_ == tdRightToLeft ? 0 : width() - strip_width;
}

void TALScrollingText::Loaded()
{
    Rebuild();
    ResetX(strip_width_);
}

QColor TALScrollingText::RampColor(int index) const
{
    const int n = edge_fade_width_;
    if (index < 1 || index > n)
        throw EALScrollingTextError("ColorIndex can't be less than 1 or greater than " + std::to_string(n));
    // A one-column ramp would divide by zero: its single column takes the text colour.
    if (n == 1)
        return font_color_;
    const int i = index - 1;
    auto mix = [&](int b, int f) { return b + MulDiv(i, f - b, n - 1); };
    return QColor(mix(background_.red(), font_color_.red()), mix(background_.green(), font_color_.green()),
                  mix(background_.blue(), font_color_.blue()));
}

void TALScrollingText::Rebuild()
{
    ++rebuild_count_;
    const int w = std::max(1, width());
    const int h = std::max(1, height());
    const qreal dpr = devicePixelRatioF();
    built_dpr_ = dpr;

    // Text strip: a widget width of blank before and after the text.
    QFont text_font = font();
    // Unsmoothed glyphs, so every text pixel is exactly the transparent colour.
    text_font.setStyleStrategy(QFont::NoAntialias);
    const QFontMetrics metrics(text_font);
    const int text_width = metrics.horizontalAdvance(text_);
    text_width_ = text_width;
    const int text_height = metrics.height();
    strip_width_ = text_width + 2 * w;
    transparent_ = (font_color_ == kGreen || background_ == kGreen) ? kRed : kGreen;
    QImage strip(QSize(strip_width_, h) * dpr, QImage::Format_RGB32);
    strip.setDevicePixelRatio(dpr);
    strip.fill(background_);
    {
        QPainter painter(&strip);
        painter.setFont(text_font);
        painter.setPen(transparent_);
        int y = 0;
        if (layout_ == tlCenter)
            y = h / 2 - text_height / 2;
        else if (layout_ == tlBottom)
            y = h - text_height;
        painter.drawText(QRect(w, y, text_width, text_height), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                         text_);
    }
    // Cut the holes: the transparent colour becomes alpha 0.
    strip_ = strip.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QRgb key = transparent_.rgb();
    for (int y = 0; y < strip_.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(strip_.scanLine(y));
        for (int x = 0; x < strip_.width(); ++x)
            if ((line[x] | 0xff000000u) == key)
                line[x] = 0;
    }

    // Edge layer: the text colour with a ramp from the background at each end.
    edge_layer_ = QImage(QSize(w, h) * dpr, QImage::Format_RGB32);
    edge_layer_.setDevicePixelRatio(dpr);
    edge_layer_.fill(font_color_);
    if (edge_fade_width_ > 0) {
        QPainter painter(&edge_layer_);
        for (int i = 0; i < edge_fade_width_; ++i) {
            const QColor c = RampColor(i + 1);
            painter.fillRect(QRect(i, 0, 1, h), c);
            painter.fillRect(QRect(w - 1 - i, 0, 1, h), c);
        }
    }
    update();
}

void TALScrollingText::Step()
{
    // A disabled line stands still: its picture is the one already shown.
    if (!isEnabled())
        return;
    const int before = x_;
    if (direction_ == tdRightToLeft) {
        x_ -= pixel_jump_;
        if (x_ <= width() - strip_width_)
            x_ = 0;
    } else {
        x_ += pixel_jump_;
        if (x_ >= 0)
            x_ = width() - strip_width_;
    }
    // Only the columns the text covered or covers now change. Painted with
    // the frame the step runs in, together with the band's other updates.
    QRegion changed = QRegion(TextArea(before)) + TextArea(x_);
    if (changed.isEmpty() || x_ == before)
        return;
    // Between the ramps the edge layer is one colour, so there the picture
    // only moves: the pixels already drawn are scrolled and only the column
    // that comes in is drawn. Under the ramps each column has its own colour
    // and is drawn afresh. A wrap of the cycle is a jump: drawn afresh too.
    const int dx = x_ - before;
    const QRect middle(edge_fade_width_, 0, width() - 2 * edge_fade_width_, height());
    const QRegion moving = changed & middle;
    if (std::abs(dx) == pixel_jump_ && middle.width() > std::abs(dx) && !moving.isEmpty()) {
        const QRect moved = moving.boundingRect();
        scroll(dx, 0, moved);
        // The columns the move brings in (Qt marks them too; named here so
        // that the update below draws them in the same pass).
        changed -= moved;
        changed += dx < 0 ? QRect(moved.right() + 1 + dx, 0, -dx, height())
                          : QRect(moved.left(), 0, dx, height());
    }
    update(changed);
}

void TALScrollingText::paintEvent(QPaintEvent* event)
{
    // The backing store is the composite: the edge layer, then the strip over it.
    if (devicePixelRatioF() != built_dpr_)
        Rebuild(); // moved to a screen of another resolution
    QPainter painter(this);
    const QRect area = event->rect() & rect();
    const qreal dpr = edge_layer_.devicePixelRatio();
    painter.drawImage(area, edge_layer_, QRectF(area.topLeft() * dpr, area.size() * dpr));
    const QRect strip_area = area.translated(-x_, 0);
    painter.drawImage(area, strip_, QRectF(strip_area.topLeft() * dpr, strip_area.size() * dpr));
}

void TALScrollingText::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    Rebuild();
}

void TALScrollingText::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        Rebuild();
    else if (event->type() == QEvent::EnabledChange)
        UpdateTimer();
}

} // namespace pelu::widgets
