// The analyser displays of the band: TLevelMeter paints a level meter (MMLevel1,
// MMLevel2) and TSpectrumView the spectrum analyser (MMSpectrum1). Each owns its
// computing side (audio/level.h, audio/frequency_analyser.h), which the connector feeds;
// the view only paints what that side reports: lit spots, peak spots and zones,
// in the active or inactive colours, solid or dotted (every second pixel of
// every second row of a spot).
//
// The computing side may report a change hundreds of times a second (the
// connector feeds it in slices of a few milliseconds); the views repaint in the
// frames of the band's frame clock (widgets/frame_clock.h): at most once per
// screen refresh, all of them and the band's other displays in the same frame,
// so the window's picture is brought up to date once for all of them. In a
// frame each view compares what its picture shows (lit spots and peak spots,
// per bar for the spectrum) with what the computing side reports, and
// repaints only the spots that differ: nothing at all when a new value lights
// the same spots. A partial repaint draws from that recorded state, so the
// picture never mixes two states; a repaint of the whole view (exposure, grab)
// takes the computing side's state afresh.
//
// Painting is cheap by construction: the inactive picture (background and unlit
// spots) and the active picture (every spot lit) are made when the geometry or
// the colours change; a redraw copies the first and cuts the lit parts and the
// peaks out of the second.
//
// Thread: main thread only. The computing sides' peak fall runs on the timer
// service's thread and only marks a change that the next refresh repaints.
#pragma once

#include "audio/level.h"
#include "audio/frequency_analyser.h"
#include "widgets/picture.h"
#include "widgets/seek_slider.h" // TBevelStyle

#include <QImage>
#include <QRegion>
#include <QWidget>

#include <vector>

class QPainter;

namespace pelu::widgets {

// A change reported by a computing side is on the screen within a frame or two
// of the frame clock: well within a few kRepaintMs.
constexpr int kRepaintMs = 25;

// What both views share: the bevel around the drawing area, whose size the
// computing side follows; only a shown view is fed; the repaint tick calls
// UpdateChangedArea.
class TAnalyserView : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    // Records the computing side's state and schedules a repaint of the area
    // whose picture differs from what is shown (none when nothing differs).
    void UpdateChangedArea();

    TBevelStyle Bevel() const { return bevel_; }
    void SetBevel(const TBevelStyle& style);
    QRect InnerRect() const;

    // How many paints this view has done (the painting benchmark reads it).
    qint64 PaintCount() const { return paint_count_; }

protected:
    // The computing side this view shows (owned by the view).
    virtual TMMAnalyser* Analyser() const = 0;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    // Gives the computing side the inner area's size; the pictures are rebuilt.
    void FitDisplay();
    // Called by the constructor once Analyser() exists: its changes repaint
    // the view, its appearance changes rebuild the pictures.
    void FollowAnalyser();
    // A paint draws the bevel, rebuilds the pictures when the pixel ratio
    // changed, and leaves the inside (painter moved to its corner) to the view.
    void paintEvent(QPaintEvent* event) override;
    virtual void RebuildPictures() = 0;
    virtual void PaintInside(QPainter& painter, QPaintEvent* event, const QRect& inner) = 0;

    // Records the computing side's state as shown; returns the area (in widget
    // coordinates) whose picture differs from the state recorded before.
    virtual QRegion TakeChanges() = 0;
    // Called first by a paint of the whole view: it shows the current state.
    // Such a paint may go elsewhere than the screen (a grab), so the area that
    // changed is repainted on the screen as well, once.
    void TakeChangesForWholePaint();

    TBevelStyle bevel_;
    qreal built_dpr_ = 0; // the pictures' device pixel ratio; 0: rebuild them
    qint64 paint_count_ = 0;
};

class TLevelMeter : public TAnalyserView {
    Q_OBJECT
public:
    explicit TLevelMeter(QWidget* parent = nullptr);

    // The computing side (owned): the connector's display, and the properties.
    TMMLevel* Level() const { return level_; }

protected:
    TMMAnalyser* Analyser() const override { return level_; }
    QRegion TakeChanges() override;
    void PaintInside(QPainter& painter, QPaintEvent* event, const QRect& inner) override;

private:
    // The spots the picture lights: 1..lit and peak_first..peak_last.
    struct Shown {
        int lit = 0;
        int peak_first = 0; // 0: no peak marker
        int peak_last = 0;
        bool Lights(int spot) const
        {
            return spot <= lit || (spot >= peak_first && spot <= peak_last && peak_first > 0);
        }
    };
    Shown LiveState() const;
    void RebuildPictures() override;
    // The rectangle of spots first..last (1-based, along the meter) in the inner area.
    QRect SpotSpan(int first, int last) const;

    TMMLevel* level_;
    Shown shown_;
    QImage inactive_; // Color with every spot in its inactive colour
    QImage active_;   // every spot in its active colour
};

class TSpectrumView : public TAnalyserView {
    Q_OBJECT
public:
    explicit TSpectrumView(QWidget* parent = nullptr);

    TMMSpectrum* Spectrum() const { return spectrum_; }

    // The stored background picture, used with the computing side's UseBackGroundDIB.
    const TPicture& BackGroundDIB() const { return background_dib_; }
    void SetBackGroundDIB(const TPicture& picture);

protected:
    TMMAnalyser* Analyser() const override { return spectrum_; }
    QRegion TakeChanges() override;
    void PaintInside(QPainter& painter, QPaintEvent* event, const QRect& inner) override;

private:
    // One bar as the picture shows it: its columns, spots 1..lit and
    // peak_first..peak_last lit.
    struct ShownBar {
        int left = 0;
        int width = 0;
        int lit = 0;
        int peak_first = 0; // 0: no peak marker
        int peak_last = 0;
        bool Lights(int spot) const
        {
            return spot <= lit || (spot >= peak_first && spot <= peak_last && peak_first > 0);
        }
    };
    std::vector<ShownBar> LiveState() const;
    void RebuildPictures() override;
    // Rows of spots first..last (1-based from the bottom) as a y range.
    QRect SpotRows(int first, int last, int left, int width) const;

    TMMSpectrum* spectrum_;
    std::vector<ShownBar> shown_;
    TPicture background_dib_;
    QImage background_; // Color or the picture, with unlit spots when DrawInactive
    QImage active_;     // every spot of every column lit
};

// Draws a one-pixel bevel frame (outer, inner, border) and returns the inside.
QRect DrawBevelFrame(class QPainter& painter, QRect area, const TBevelStyle& style);

} // namespace pelu::widgets
