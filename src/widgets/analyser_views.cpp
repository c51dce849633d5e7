#include "widgets/analyser_views.h"

#include "widgets/frame_clock.h"
#include "widgets/theme.h"

#include <QPaintEvent>
#include <QPainter>

#include <utility>

namespace pelu::widgets {

namespace {

// Fills `spot` solid, or dotted: every second pixel of every second row,
// counted from the spot's own top-left corner.
void FillSpot(QPainter& painter, const QRect& spot, const QColor& color, bool dotted)
{
    if (!dotted) {
        painter.fillRect(spot, color);
        return;
    }
    for (int y = spot.top(); y <= spot.bottom(); y += 2)
        for (int x = spot.left(); x <= spot.right(); x += 2)
            painter.fillRect(QRect(x, y, 1, 1), color);
}

QColor ZoneColor(int spot, int zone1, int zone2, quint32 c1, quint32 c2, quint32 c3)
{
    if (spot > zone2)
        return ColorFromBgr(c3);
    if (spot > zone1)
        return ColorFromBgr(c2);
    return ColorFromBgr(c1);
}

void BevelLine(QPainter& painter, QRect& area, TBevelCut cut)
{
    if (cut == bvNone)
        return;
    painter.setPen(cut == bvLowered ? theme::kShadow : theme::kHighlight);
    painter.drawLine(area.topLeft(), area.topRight());
    painter.drawLine(area.topLeft(), area.bottomLeft());
    painter.setPen(cut == bvLowered ? theme::kHighlight : theme::kShadow);
    painter.drawLine(area.topRight(), area.bottomRight());
    painter.drawLine(area.bottomLeft(), area.bottomRight());
    area.adjust(1, 1, -1, -1);
}

QImage NewPicture(QSize size, qreal dpr)
{
    QImage image(size.expandedTo(QSize(1, 1)) * dpr, QImage::Format_RGB32);
    image.setDevicePixelRatio(dpr);
    return image;
}

// Changes reported between two frames repaint together in the next frame of
// the band's frame clock, with the other displays' updates of that moment.
// While playing, the frame is the end of the connector's pump cycle, so no
// timer of our own wakes the main thread in between.
void RequestRepaint(TAnalyserView* widget)
{
    TFrameClock::Instance().Request(widget, [widget] { widget->UpdateChangedArea(); });
}

} // namespace

void TAnalyserView::UpdateChangedArea()
{
    const QRegion changed = TakeChanges();
    if (!changed.isEmpty())
        update(changed);
}

void TAnalyserView::TakeChangesForWholePaint()
{
    const QRegion changed = TakeChanges();
    if (!changed.isEmpty())
        QMetaObject::invokeMethod(this, [this, changed] { update(changed); }, Qt::QueuedConnection);
}

QRect DrawBevelFrame(QPainter& painter, QRect area, const TBevelStyle& style)
{
    BevelLine(painter, area, style.outer);
    BevelLine(painter, area, style.inner);
    if (style.border) {
        painter.setPen(style.border_color);
        painter.drawRect(area.adjusted(0, 0, -1, -1));
        area.adjust(1, 1, -1, -1);
    }
    return area;
}

// ---------------------------------------------------------------------------

void TAnalyserView::SetBevel(const TBevelStyle& style)
{
    bevel_ = style;
    FitDisplay();
    update();
}

QRect TAnalyserView::InnerRect() const
{
    const int b = bevel_.Width();
    return rect().adjusted(b, b, -b, -b);
}

void TAnalyserView::FitDisplay()
{
    const QRect inner = InnerRect();
    Analyser()->SetDisplaySize(inner.width(), inner.height());
    built_dpr_ = 0;
}

void TAnalyserView::FollowAnalyser()
{
    connect(Analyser(), &TMMAnalyser::Changed, this, [this] { RequestRepaint(this); });
    connect(Analyser(), &TMMAnalyser::AppearanceChanged, this, [this] {
        built_dpr_ = 0;
        update();
    });
}

void TAnalyserView::paintEvent(QPaintEvent* event)
{
    ++paint_count_;
    if (built_dpr_ != devicePixelRatioF())
        RebuildPictures();
    if (event->rect().contains(rect()))
        TakeChangesForWholePaint();
    QPainter painter(this);
    const QRect inner = DrawBevelFrame(painter, rect(), bevel_);
    painter.translate(inner.topLeft());
    PaintInside(painter, event, inner);
}

void TAnalyserView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    FitDisplay();
}

void TAnalyserView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    Analyser()->SetVisible(true);
}

void TAnalyserView::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    Analyser()->SetVisible(false);
}

TLevelMeter::TLevelMeter(QWidget* parent) : TAnalyserView(parent), level_(new TMMLevel(this))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Level meter"));
    FollowAnalyser();
    resize(200, 17);
}

QRect TLevelMeter::SpotSpan(int first, int last) const
{
    const int w = level_->DisplayWidth(), h = level_->DisplayHeight();
    const int pitch = level_->SpotWidth() + level_->SpotSpace();
    const int from = level_->SpotOffset() + (first - 1) * pitch;
    const int to = level_->SpotOffset() + last * pitch - level_->SpotSpace(); // one past the last spot
    const bool reversed = level_->Direction() == dirReversed;
    if (level_->Kind() == lkHorizontal)
        return reversed ? QRect(w - to, 0, to - from, h) : QRect(from, 0, to - from, h);
    // Vertical meters grow upwards (downwards when reversed).
    return reversed ? QRect(0, from, w, to - from) : QRect(0, h - to, w, to - from);
}

void TLevelMeter::RebuildPictures()
{
    const qreal dpr = devicePixelRatioF();
    built_dpr_ = dpr;
    const QSize size(level_->DisplayWidth(), level_->DisplayHeight());
    inactive_ = NewPicture(size, dpr);
    active_ = NewPicture(size, dpr);
    inactive_.fill(ColorFromBgr(level_->Color()));
    active_.fill(ColorFromBgr(level_->Color()));
    QPainter inactive(&inactive_);
    QPainter active(&active_);
    const int n = level_->SpotCount();
    for (int spot = 1; spot <= n; ++spot) {
        const QRect r = SpotSpan(spot, spot);
        FillSpot(inactive, r,
                 ZoneColor(spot, level_->Zone1(), level_->Zone2(), level_->Inactive1Color(),
                           level_->Inactive2Color(), level_->Inactive3Color()),
                 level_->InactiveDoted());
        FillSpot(active, r,
                 ZoneColor(spot, level_->Zone1(), level_->Zone2(), level_->Bar1Color(), level_->Bar2Color(),
                           level_->Bar3Color()),
                 level_->ActiveDoted());
    }
}

TLevelMeter::Shown TLevelMeter::LiveState() const
{
    Shown state;
    if (!level_->Enabled())
        return state;
    state.lit = level_->LitSpots();
    const int peak = level_->PeakSpot();
    if (peak > state.lit && level_->NumPeaks() > 0) {
        state.peak_first = peak - std::min(level_->NumPeaks(), peak) + 1;
        state.peak_last = peak;
    }
    return state;
}

QRegion TLevelMeter::TakeChanges()
{
    const Shown live = LiveState();
    int first = 0, last = 0;
    for (int spot = 1; spot <= level_->SpotCount(); ++spot)
        if (live.Lights(spot) != shown_.Lights(spot)) {
            if (!first)
                first = spot;
            last = spot;
        }
    shown_ = live;
    return first ? QRegion(SpotSpan(first, last).translated(InnerRect().topLeft())) : QRegion();
}

void TLevelMeter::PaintInside(QPainter& painter, QPaintEvent*, const QRect&)
{
    painter.drawImage(0, 0, inactive_);
    const qreal dpr = active_.devicePixelRatio();
    auto cut = [&](const QRect& r) {
        if (r.width() > 0 && r.height() > 0)
            painter.drawImage(r, active_, QRectF(r.topLeft() * dpr, r.size() * dpr));
    };
    if (shown_.lit > 0)
        cut(SpotSpan(1, std::min(shown_.lit, level_->SpotCount())));
    if (shown_.peak_first > 0)
        cut(SpotSpan(shown_.peak_first, std::min(shown_.peak_last, level_->SpotCount())));
}

// ---------------------------------------------------------------------------

TSpectrumView::TSpectrumView(QWidget* parent) : TAnalyserView(parent), spectrum_(new TMMSpectrum(this))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Spectrum"));
    FollowAnalyser();
    resize(194, 89);
}

void TSpectrumView::SetBackGroundDIB(const TPicture& picture)
{
    background_dib_ = picture;
    built_dpr_ = 0;
    update();
}

QRect TSpectrumView::SpotRows(int first, int last, int left, int width) const
{
    const int s = spectrum_->SpotCount();
    const int pitch = spectrum_->SpotHeight() + spectrum_->SpotSpace();
    const int top = spectrum_->SpotOffset() + (s - last) * pitch;
    const int bottom = spectrum_->SpotOffset() + (s - first) * pitch + spectrum_->SpotHeight(); // one past
    return QRect(left, top, width, bottom - top);
}

void TSpectrumView::RebuildPictures()
{
    const qreal dpr = devicePixelRatioF();
    built_dpr_ = dpr;
    const QSize size(spectrum_->DisplayWidth(), spectrum_->DisplayHeight());
    background_ = NewPicture(size, dpr);
    active_ = NewPicture(size, dpr);
    background_.fill(ColorFromBgr(spectrum_->Color()));
    QPainter back(&background_);
    if (spectrum_->UseBackGroundDIB() && background_dib_.IsSet())
        background_dib_.Draw(back, QRect(QPoint(0, 0), size));
    // The active picture lies over the same background, so a cut-out spot keeps
    // the background between its dots.
    QPainter active(&active_);
    active.drawImage(0, 0, background_);
    const int s = spectrum_->SpotCount();
    for (int spot = 1; spot <= s; ++spot) {
        const QRect row = SpotRows(spot, spot, 0, size.width());
        const QColor on = ZoneColor(spot, spectrum_->Zone1(), spectrum_->Zone2(), spectrum_->Bar1Color(),
                                    spectrum_->Bar2Color(), spectrum_->Bar3Color());
        FillSpot(active, row, on, spectrum_->ActiveDoted());
        if (spectrum_->DrawInactive())
            FillSpot(back, row,
                     ZoneColor(spot, spectrum_->Zone1(), spectrum_->Zone2(), spectrum_->Inactive1Color(),
                               spectrum_->Inactive2Color(), spectrum_->Inactive3Color()),
                     spectrum_->InactiveDoted());
    }
    if (spectrum_->DrawInactive()) {
        // Inactive spots show only inside bars, not in the gaps between them.
        active.end();
        back.end();
        QImage plain = NewPicture(size, dpr);
        plain.fill(ColorFromBgr(spectrum_->Color()));
        QPainter fix(&plain);
        if (spectrum_->UseBackGroundDIB() && background_dib_.IsSet())
            background_dib_.Draw(fix, QRect(QPoint(0, 0), size));
        for (const TMMSpectrumBar& bar : spectrum_->Bars()) {
            int left = bar.first_column, width = bar.end_column - bar.first_column;
            if (width > spectrum_->Space()) {
                left += spectrum_->Space() / 2;
                width -= spectrum_->Space();
            }
            const QRect r(left, 0, width, size.height());
            fix.drawImage(r, background_, QRectF(r.topLeft() * dpr, r.size() * dpr));
        }
        fix.end();
        background_ = plain;
    }
}

std::vector<TSpectrumView::ShownBar> TSpectrumView::LiveState() const
{
    std::vector<ShownBar> state;
    if (!spectrum_->Enabled())
        return state;
    const int num_peaks = spectrum_->NumPeaks();
    const int space = spectrum_->Space();
    for (const TMMSpectrumBar& bar : spectrum_->Bars()) {
        ShownBar shown;
        shown.left = bar.first_column;
        shown.width = bar.end_column - bar.first_column;
        if (shown.width > space) {
            shown.left += space / 2;
            shown.width -= space;
        }
        shown.lit = bar.lit_spots;
        if (bar.peak_spot > bar.lit_spots && num_peaks > 0) {
            shown.peak_first = bar.peak_spot - std::min(num_peaks, bar.peak_spot) + 1;
            shown.peak_last = bar.peak_spot;
        }
        state.push_back(shown);
    }
    return state;
}

QRegion TSpectrumView::TakeChanges()
{
    std::vector<ShownBar> live = LiveState();
    const QPoint origin = InnerRect().topLeft();
    const bool same_bars = live.size() == shown_.size();
    QRegion changed;
    for (std::size_t i = 0; i < live.size() || i < shown_.size(); ++i) {
        if (!same_bars || live[i].left != shown_[i].left || live[i].width != shown_[i].width) {
            changed = QRegion(rect()); // other bars: the whole picture
            break;
        }
        int first = 0, last = 0;
        for (int spot = 1; spot <= spectrum_->SpotCount(); ++spot)
            if (live[i].Lights(spot) != shown_[i].Lights(spot)) {
                if (!first)
                    first = spot;
                last = spot;
            }
        if (first)
            changed += SpotRows(first, last, live[i].left, live[i].width).translated(origin);
    }
    shown_ = std::move(live);
    return changed;
}

void TSpectrumView::PaintInside(QPainter& painter, QPaintEvent* event, const QRect& inner)
{
    const QRect area = event->rect().translated(-inner.topLeft()) & QRect(QPoint(0, 0), inner.size());
    const qreal dpr = active_.devicePixelRatio();
    auto copy = [&](const QImage& from, const QRect& r) {
        if (r.width() > 0 && r.height() > 0)
            painter.drawImage(r, from, QRectF(r.topLeft() * dpr, r.size() * dpr));
    };
    copy(background_, area);
    const int s = spectrum_->SpotCount();
    for (const ShownBar& bar : shown_) {
        if (bar.left >= area.right() + 1 || bar.left + bar.width <= area.left())
            continue;
        if (bar.lit > 0)
            copy(active_, SpotRows(1, std::min(bar.lit, s), bar.left, bar.width) & area);
        if (bar.peak_first > 0)
            copy(active_, SpotRows(bar.peak_first, std::min(bar.peak_last, s), bar.left, bar.width) & area);
    }
}

} // namespace pelu::widgets
