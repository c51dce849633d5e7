// TMMSlider: the drawn seek slider under the transport buttons. A focusable
// control with a bevel, a groove and a rectangular thumb drawn in colours; it
// maps an integer Position (0..duration in ms for the player) to the thumb's
// place, jumps or drags under the mouse, steps under the keyboard (Page Up/Down,
// Home, End and the arrows) and reports every move (OnTrack) and the release of
// the mouse button or key (OnTrackEnd, once per press/release).
//
// Thread: main thread only.
#pragma once

#include "widgets/slider_tracker.h"

#include <QColor>
#include <QWidget>

#include <functional>

namespace pelu::widgets {

enum TBevelCut { bvNone, bvLowered, bvRaised };

// A frame: an outer and an inner bevel, each one pixel wide, and an optional
// single border line.
struct TBevelStyle {
    TBevelCut outer = bvNone;
    TBevelCut inner = bvNone;
    bool border = false;
    QColor border_color{0x80, 0x80, 0x80};
    int Width() const { return (outer != bvNone) + (inner != bvNone) + (border ? 1 : 0); }
};

class TMMSlider : public TSliderControl {
    Q_OBJECT
    Q_PROPERTY(int MinValue READ MinValue WRITE SetMinValue)
    Q_PROPERTY(int MaxValue READ MaxValue WRITE SetMaxValue)
    Q_PROPERTY(int Position READ Position WRITE SetPosition)
    Q_PROPERTY(int LineSize READ LineSize WRITE SetLineSize)
    Q_PROPERTY(int PageSize READ PageSize WRITE SetPageSize)
    Q_PROPERTY(int ThumbWidth READ ThumbWidth WRITE SetThumbWidth)
    Q_PROPERTY(int ThumbHeight READ ThumbHeight WRITE SetThumbHeight)
    Q_PROPERTY(int GrooveSize READ GrooveSize WRITE SetGrooveSize)
    Q_PROPERTY(QColor ThumbColor READ ThumbColor WRITE SetThumbColor)
    Q_PROPERTY(QColor GrooveColor READ GrooveColor WRITE SetGrooveColor)
    Q_PROPERTY(QColor DisabledColor READ DisabledColor WRITE SetDisabledColor)
public:
    enum TMMOrientation { orHorizontal, orVertical };
    Q_ENUM(TMMOrientation)
    explicit TMMSlider(QWidget* parent = nullptr);

    void SetPosition(int value) override;
    TMMOrientation Orientation() const { return orientation_; }
    void SetOrientation(TMMOrientation value);
    int ThumbWidth() const { return thumb_width_; }
    void SetThumbWidth(int value);
    int ThumbHeight() const { return thumb_height_; }
    void SetThumbHeight(int value);
    int GrooveSize() const { return groove_size_; }
    void SetGrooveSize(int value);
    QColor ThumbColor() const { return thumb_color_; }
    void SetThumbColor(const QColor& color);
    QColor GrooveColor() const { return groove_color_; }
    void SetGrooveColor(const QColor& color);
    QColor DisabledColor() const { return disabled_color_; }
    void SetDisabledColor(const QColor& color);
    TBevelStyle Bevel() const { return bevel_; }
    void SetBevel(const TBevelStyle& style);
    TBevelStyle Groove() const { return groove_; }
    void SetGroove(const TBevelStyle& style);
    // Stored only: the band uses no tick scale either.
    void SetSensitivity(int value) { sensitivity_ = value; }

    // Geometry, for the gallery and tests.
    QRect TrackRect() const;
    QRect ThumbRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    bool Horizontal() const override { return orientation_ == orHorizontal; }
    int Usable() const;
    int Along(QPointF point) const; // pixels from the minimum's end of the track

    TMMOrientation orientation_ = orHorizontal;
    int thumb_width_ = 11, thumb_height_ = 23;
    int groove_size_ = 3;
    QColor thumb_color_, groove_color_, disabled_color_{0xff, 0xff, 0xff};
    TBevelStyle bevel_;
    TBevelStyle groove_;
};

} // namespace pelu::widgets
